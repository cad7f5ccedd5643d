// rescue_map.h - the state of every block of the range, kept in a map file
// (--map FILE) so that a later run reads only the blocks not yet done, and
// so that the map can be inspected with ddrescuelog.
//
// The range is cut in blocks of kMapBlockBytes bytes; each block is read and
// checked ('+'), failed every try ('-') or not tried yet ('?'). The map holds
// runs of blocks of one state (areas), never a byte per block: a range of
// 4 GiB has 33 million blocks and the file is written again after each one,
// so writing it costs one line per area. Positions and sizes in the file are
// bytes from the range's first address, written in hexadecimal. Comment
// lines name the run the map is of (its range, and the monitor with its
// command words), so that a map is never taken for another run's whose
// range has as many blocks:
//      # Mapfile. Created by Vexlor 1.1.0
//      # Command line: vexlor COM3 38400 ... --map dump.map
//      # Range: 0x00010000 0x0002FFFF
//      # Monitor: default BB BT DM
//      # current_pos  current_status  current_pass
//      0x00000300     ?               1
//      #      pos        size  status
//      0x00000000  0x00000300  +
//      0x00000300  0x00000100  -
//      0x00000400  0x0001FC00  ?
//
//   InitRescueMap      a map of a range, every block not tried
//   FreeRescueMap      give back its memory (the record may be initialised again)
//   SetBlockState      record one block's state, splitting and merging areas
//   BlockState         one block's state
//   NextBlockToRead    the first block at or after a given one that is not done
//   CountRescueMap     blocks done, bytes bad and bad areas (the summary line)
//   FormatRescueMap    the map file's text, into a growable buffer
//   WriteRescueMap     the same text, straight to an open file
//   FreeMapText        give back a buffer of FormatRescueMap
//   ParseRescueMap     read a map file's text (ours, or one ddrescue wrote),
//                      refusing one that names another run
//   LoadRescueMap      read a map file; a missing one gives a fresh map
//   SaveRescueMap      write a map file so that a crash never leaves half of it
//
// A map belongs to one thread at a time: the walk keeps it and saves it.
// Nothing here prints; failures come back as a reason in the caller's buffer.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

const uint64_t kMapBlockBytes = 128;  // one block of the walk

// Block states, as the map file writes them.
const char kBlockDone = '+';     // read and checked
const char kBlockBad = '-';      // failed every try
const char kBlockUntried = '?';  // not tried yet

// The current status of the map's status line: the walk is copying, or it
// has been through the whole range.
const char kMapCopying = '?';
const char kMapFinished = '+';

// A file bigger than this is no map of ours: refused before it is read whole.
const size_t kMapFileMax = 64u << 20;

// Beside the map: the new map, written in full before it takes the old
// one's place, and the lock that a run holds while it keeps the map.
const char kMapNewSuffix[] = ".new";
const char kMapLockSuffix[] = ".lock";

// The run a map is of, as its comment lines name it.
enum {
  kMapMonitorSize = 32,  // the monitor's name, with its zero
  kMapWordSize = 256,    // a command word, with its zero
  kMapWordsMax = 3,
};
struct MapRun {
  uint32_t iStartAddr;
  uint32_t iEndAddr;
  char szMonitor[kMapMonitorSize];
  uint32_t iWords;  // 0 for a monitor that takes no command words
  char aszWords[kMapWordsMax][kMapWordSize];
};

// A run of blocks of one state; it ends where the next area starts (the
// last one at the end of the range).
struct RescueArea {
  uint64_t iFirstBlock;
  char cState;
};

// Areas in address order, the first at block 0, neighbours of different
// states. Zero-initialised means empty (no range yet).
struct RescueMap {
  RescueArea *pAreas;
  uint64_t iAreas;
  uint64_t iCapacity;  // areas allocated
  uint64_t iBlocks;
};

struct RescueCounts {
  uint64_t iDoneBlocks;
  uint64_t iBadBytes;
  uint64_t iBadAreas;
};

// Growable text of FormatRescueMap; zero-initialised means empty.
struct MapText {
  char *pText;
  size_t iLen;
  size_t iSize;
};

// False when iBlocks is 0, the range's bytes do not fit 64 bits, or memory
// is short; the map is then empty.
bool InitRescueMap(RescueMap *pMap, uint64_t iBlocks);
void FreeRescueMap(RescueMap *pMap);

// False for a block outside the range, a state other than the three, or
// when memory for a new area is short; the map is then unchanged.
bool SetBlockState(RescueMap *pMap, uint64_t iBlock, char cState);
char BlockState(const RescueMap *pMap, uint64_t iBlock);  // 0 outside the range
// False when every block from iFrom to the end of the range is done.
bool NextBlockToRead(const RescueMap *pMap, uint64_t iFrom, uint64_t *piBlock);
void CountRescueMap(const RescueMap *pMap, RescueCounts *pCounts);

// iCurrentPos is a byte position from the range's start (where the walk
// is); cCurrentStatus is kMapCopying or kMapFinished. The command line goes
// into a comment, its line ends and other control characters as blanks;
// pRun (nullptr: none) names the run. False when memory or the file fails.
bool FormatRescueMap(const RescueMap *pMap, uint64_t iCurrentPos, char cCurrentStatus,
                     const char *szCommandLine, const MapRun *pRun, MapText *pText);
bool WriteRescueMap(const RescueMap *pMap, uint64_t iCurrentPos, char cCurrentStatus,
                    const char *szCommandLine, const MapRun *pRun, FILE *pFile);
void FreeMapText(MapText *pText);

// Reads a map of a range of iBlocks blocks into pMap (which must be empty).
// Statuses '*' and '/' of ddrescue's own maps are failed reads not yet
// finished: they count as not tried. A map that names a run other than pRun
// (nullptr: any run), a map of another range, a hand-edited one whose areas
// are not whole blocks or whose run comments are damaged, or anything else
// that is not a whole, well-formed map is refused: false, pMap empty and
// szWhy says what differs, or what is wrong and on which line. A map that
// names no run (ddrescue's, an older Vexlor's) is read as before, its size
// alone telling its range: *pbRunNamed (pbRunNamed may be nullptr) says
// which it was.
bool ParseRescueMap(const char *pText, size_t iLen, uint64_t iBlocks, const MapRun *pRun,
                    RescueMap *pMap, bool *pbRunNamed, char *szWhy, size_t iWhySize);

enum MapLoad {
  kMapLoaded = 0,
  kMapMissing = 1,  // no such file: pMap is a fresh map, every block not tried
  kMapRefused = 2,  // unreadable, too big or not a map of this range: szWhy says why
};
MapLoad LoadRescueMap(const char *szFile, uint64_t iBlocks, const MapRun *pRun, RescueMap *pMap,
                      bool *pbRunNamed, char *szWhy, size_t iWhySize);
// Writes szFile + ".new" in full, then puts it in szFile's place: the old
// map stays whole until the new one is. False, with szWhy, when it fails.
bool SaveRescueMap(const char *szFile, const RescueMap *pMap, uint64_t iCurrentPos,
                   char cCurrentStatus, const char *szCommandLine, const MapRun *pRun, char *szWhy,
                   size_t iWhySize);
