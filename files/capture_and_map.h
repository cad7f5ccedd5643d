// capture_and_map.h - the capture file and its map: the capture's name, its
// opening and every write, and with --map every block's state, saved after
// each block the walk keeps.
//
//   ComposeCaptureName       "%s_%.4X_%.4X.bin" of the dump word and the range
//   OpenCapture              created (an old one emptied), or with --resume
//                            kept and cut back to its last whole block; taken
//                            for this run only (another run's is left alone)
//   WriteOutByte             one decoded byte of an unchecked dump, at once
//   WriteCapturedBlock       one checked block, in one write (at its place
//                            with --map, which keeps every block's state)
//   WriteCapturedFill        a span of one byte value, the map saved once after it
//   ReportCaptureWriteFailure   says once that the capture cannot be written
// Start-up opens it on the main thread before the other threads exist; the
// bytes of unchecked dumps are written on the main thread, checked blocks on
// the control thread (never both in one run). The handle and where the walk
// starts are this module's own; what it wrote is counted in iCapturedBytes.
// With --map the map file is opened with the capture, locked for this run
// (a lock file beside it), saved by the control thread after every block,
// and let go by the main thread at the end of the run.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

bool ComposeCaptureName(char *szName, size_t iSize);

enum CaptureOpening {
  kCaptureOpened,   // open, or not (said), but the run goes on as it always has
  kCaptureRefused,  // a capture to resume that is not this range's, a map that
                    // cannot be used, or (--batch) a capture that cannot be
                    // opened: said, and the run ends
};
// The command line goes into the map file's comment (--map).
CaptureOpening OpenCapture(const char *szName, int iArgCount, char **pArgs);
// Main thread, once the session log is open: what the log should know of
// the map's opening (a map that names no run).
void LogMapOpening();
// Main thread, at the end of the run: no save of the map follows, and its
// lock file is removed and let go.
void ReleaseMap();

void WriteOutByte(uint8_t iByte);
// The checked block at iAddr: appended, or with --map written at its place
// and marked read in the map.
bool WriteCapturedBlock(uint32_t iAddr, const uint8_t *pBytes);
// iBlocks blocks from iAddr, each byte iFill (a span the device showed to be
// uniform); the map is saved once after them.
bool WriteCapturedFill(uint32_t iAddr, uint8_t iFill, uint32_t iBlocks);
void ReportCaptureWriteFailure();

// Where the walk starts: the range's start, or after a resumed capture's
// last whole block. Whether a resumed capture already holds the whole range.
uint32_t WalkStartAddr();
bool CaptureAlreadyComplete();
// Tests and benches: the capture is hFile from now on (written as a run's
// unchecked bytes are); returns the file it was, for closing.
FileHandle SwapCaptureFile(FileHandle hFile);

// --map (control thread, once the walk runs):
//   CaptureHasMap    the run keeps a map
//   NextBlockOfMap   the first block at or after iFrom that the map does not
//                    call read; false when there is none
//   MarkBlockBad     a block that failed every try: zeros at its place, and
//                    marked bad in the map
//   FinishMap        the bad bytes and areas; with bWalkDone the map says the
//                    range has been gone through. False when the map on disk
//                    is not current (its last save failed)
//   ReportMapBehind  a walk's last line when the map on disk is not current;
//                    false (nothing said) when it is, or there is no map
bool CaptureHasMap();
bool NextBlockOfMap(uint32_t iFrom, uint32_t *piAddr);
void MarkBlockBad(uint32_t iAddr);
// A block that --verify found to differ: not read, so that the same command
// line without --verify reads it again.
void MarkBlockUnread(uint32_t iAddr);
bool FinishMap(bool bWalkDone, uint64_t *piBadBytes, uint64_t *piBadAreas);
bool ReportMapBehind();
