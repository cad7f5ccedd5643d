// uniform_span.h - spans of the range that hold one byte value throughout
// (erased flash, zeroed RAM), found by the device's own checksum and
// written without reading them (--skip-blank).
//
// Before the walk reads the blocks of a 64 KiB window (aligned; the part of
// it that is left of the range), it asks the monitor's checksum command
// over them (U-Boot's and Barebox's crc32, RedBoot's cksum, a description's
// own: any that names the length). When the value is the checksum of that
// span filled with one byte value, a second one over an odd-sized part of
// it must agree with the same fill: a span that is not uniform passes both
// with a chance far below one in 10^12. The fill is then written at its
// place and marked finished in the map.
//
//   UniformFillCrc     the CRC-32 of iCount copies of one byte (pure)
//   FillOfChecksum     the byte value whose fill of iCount bytes has this
//                      checksum in the dialect's algorithm, or -1
//   SkipUniformSpan    at a block of the walk: looks at its window once, and
//                      when it is uniform writes it and says where to go on
//   SayUniformSpans    the end line: how much was found uniform
//   SpanBlocks         the walk's blocks from one that start in its 64 KiB window
//   AskDeviceSpanCrc   the device's checksum over a span (false: no value came)
//   ParseSpanChecksum  the value in the checksum's answer for a span
// Control thread only; posts through the hand-off and asks for collections.
#pragma once

#include <stdint.h>

enum { kUniformSpanBytes = 0x10000 };

uint32_t UniformFillCrc(uint8_t iByte, uint32_t iCount);
int FillOfChecksum(uint32_t iCrc, uint32_t iCount);

// A new walk: no window looked at yet, nothing found.
void StartUniformSpans();
// At block iAddr of the walk: true when the span from it was found uniform
// and written; *piLastBlock is then its last block, after which the walk
// goes on. False: read iAddr as usual (skipping is off, the window was
// looked at already, or it is not uniform).
bool SkipUniformSpan(uint32_t iAddr, uint32_t *piLastBlock);
void SayUniformSpans();
uint32_t SpanBlocks(uint32_t iAddr);
bool AskDeviceSpanCrc(uint32_t iAddr, uint32_t iCount, uint32_t *piCrc);
// The value of the checksum's answer line for exactly that span; false for any
// other line (another span, a cut or garbled value).
bool ParseSpanChecksum(const char *szAnswer, uint32_t iAddr, uint32_t iCount, uint32_t *piCrc);
