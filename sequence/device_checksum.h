// device_checksum.h - a checked block confirmed by the device's own checksum.
//
//   DeviceChecksumsAsked    whether checked blocks are confirmed by the device
//   NoteDeviceHasNoChecksum the device has no checksum command: said, and not asked again
//   ConfirmBlockByChecksum  asks the monitor for its checksum of a block that
//                           passed its check, and compares it with the bytes
//
// A flipped digit that still makes a hex pair passes every look at the dump
// line; the monitor's checksum over its memory does not. ConfirmBlockByChecksum
// runs on the control thread of a checked walk, posts the dialect's checksum
// command with a time-out, and reads the answer line that the block
// collection kept (BlockLines::szAnswer). It asks for a collection, and
// remembers when the monitor turns out to have no such command; it writes
// nothing in SharedState but through the hand-off.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The dialect has a checksum command, --no-checksum was not given, and the
// device has not said that it lacks the command.
bool DeviceChecksumsAsked();
// A new walk: whether the device has the command is found out again.
void ForgetDeviceChecksums();

// True when the device's checksum of the kBlockBytes at pBytes, read from
// iAddr, agrees, or when no checksum is asked for: the dialect has none,
// --no-checksum, or the device answers that it has no such command (said
// once; the block then goes on like a block of a monitor without one, and
// so do the blocks after it). Otherwise
// says in szWhy why not (no prompt, no answer, an answer that is no
// checksum of this block, a checksum that differs).
// The device answered szCommand with "no such command": said once, and no
// checksum is asked for from then on.
void NoteDeviceHasNoChecksum(const char *szCommand);
bool ConfirmBlockByChecksum(uint32_t iAddr, const uint8_t *pBytes, char *szWhy, size_t iWhySize);
