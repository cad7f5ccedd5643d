// capture_verify.h - an existing capture compared with the device by its
// checksums (--verify): crc32 over each 64 KiB span of the range, and over
// each block of a span that differs; the differing blocks are said, and
// with --map marked not read, so that the same command line without
// --verify reads only them. The capture is read, never written.
//
//   VerifyCapture   the whole comparison, in place of the walk; its outcome
//                   kWalkComplete when all agrees, kWalkDiffers when a block
//                   differs, kWalkStopped when the device stopped answering
// Control thread only; posts through the hand-off and asks for collections.
#pragma once

#include "platform/platform.h"

void VerifyCapture(PortHandle hPort);
