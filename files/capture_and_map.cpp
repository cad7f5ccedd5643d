// capture_and_map.cpp - naming, opening, resuming and writing the capture.
#include "files/capture_and_map.h"

#include <stdio.h>
#include <string.h>

#include <atomic>

#include "dialogue/device_dialogue.h"
#include "core/print.h"
#include "files/rescue_map.h"
#include "core/session_log.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "platform/platform.h"

namespace {

enum {
  kReasonSize = 160,   // the operating system's reason for a failure
  kMapWhySize = 512,   // what is wrong with a map, naming its run's command words
  kMapLetGoMs = 5000,  // how long the end of the run waits for a save in progress
};

// The capture: written on the main thread (unchecked dumps) or the control
// thread (checked blocks), never both in one run; where the walk starts
// (after a resumed capture) and whether a resumed capture is already whole.
struct CaptureRec {
  FileHandle hOutFile = nullptr;
  bool bOutWriteFailed = false;  // said once
  uint32_t iWalkStartAddr = 0;
  bool bCaptureComplete = false;
};
CaptureRec oCapture;

// --map: the state of every block, kept by the control thread once the walk
// runs, the command line and the run that its file names, and the lock that
// keeps it this run's.
RescueMap oMap = {};
bool bMapped = false;
char szMapCommandLine[1024] = "";
MapRun oMapRun = {};
FileHandle hMapLock = nullptr;
bool bMapUnnamed = false;  // the map named no run: taken for this one by its size
// The control thread's last save failed, and why: the map on disk holds less
// than the capture.
bool bMapBehind = false;
char szMapBehindWhy[kMapWhySize] = "";
// Held by the control thread while it saves the map, and for good by the end
// of the run once it lets go of the lock: no save may follow that.
std::atomic_flag bMapTaken = ATOMIC_FLAG_INIT;

const char kCantOpen[] = "Error: Can't open the out file. \n";

// The fixed message, and the system's reason where the options allow it.
// An unattended run ends here, before the port is opened, as it could
// capture nothing; with an operator the run goes on as it always has.
CaptureOpening ReportCantOpen() {
  char szReason[kReasonSize];
  DescribeLastError(szReason, sizeof szReason);
  Print("%s", kCantOpen);
  ReportSystemReason("the capture cannot be opened", szReason, true);
  return Settings.bBatch ? kCaptureRefused : kCaptureOpened;
}

// Keeps what a capture of an earlier run holds, cut back to its last whole
// block, and has the walk go on from there.
CaptureOpening ResumeCapture(const char *szName) {
  SharedStateRec &S = SharedState;
  uint64_t iSize = 0;
  oCapture.hOutFile = ResumeCaptureFile(szName, &iSize);
  if (oCapture.hOutFile == nullptr) return ReportCantOpen();
  uint64_t iRange = BlocksFrom(Settings.iStartAddr) * kBlockBytes;
  if (iSize > iRange) {
    // Longer than the range can only be another range's capture, or one with
    // lines captured twice: neither may be taken for complete.
    Print(
        "Error: %s holds %llu bytes, more than the %llu of the range: it is not a capture of "
        "this range. Nothing was changed. \n",
        szName, static_cast<unsigned long long>(iSize), static_cast<unsigned long long>(iRange));
    oCapture.hOutFile = nullptr;
    return kCaptureRefused;
  }
  if (iSize == iRange) {
    oCapture.bCaptureComplete = true;
    Print("Capture complete (%llu bytes): nothing to read \n ",
          static_cast<unsigned long long>(iSize));
    return kCaptureOpened;
  }
  uint64_t iKeep = iSize / kBlockBytes * kBlockBytes;
  if (iKeep != iSize && !CutCaptureFile(oCapture.hOutFile, iKeep)) {
    char szReason[kReasonSize];
    DescribeLastError(szReason, sizeof szReason);
    Print("Error: Can't cut the out file back to %llu bytes. \n",
          static_cast<unsigned long long>(iKeep));
    ReportSystemReason("the capture cannot be cut back", szReason, true);
    oCapture.hOutFile = nullptr;  // nothing may be appended after a torn block
    return Settings.bBatch ? kCaptureRefused : kCaptureOpened;
  }
  oCapture.iWalkStartAddr = Settings.iStartAddr + static_cast<uint32_t>(iKeep);
  S.iCapturedBytes.store(iKeep, std::memory_order_relaxed);
  Print("Resuming at %.8X (%llu bytes kept)\n ", oCapture.iWalkStartAddr,
        static_cast<unsigned long long>(iKeep));
  return kCaptureOpened;
}

uint64_t MapBlockOf(uint32_t iAddr) {
  return (static_cast<uint64_t>(iAddr) - Settings.iStartAddr) / kBlockBytes;
}

void KeepCommandLine(int iArgCount, char **pArgs) {
  size_t n = 0;
  for (int i = 0; i < iArgCount && n + 1 < sizeof szMapCommandLine; ++i) {
    int iPart = snprintf(szMapCommandLine + n, sizeof szMapCommandLine - n, "%s%s",
                         i > 0 ? " " : "", pArgs[i]);
    if (iPart < 0) break;
    n += static_cast<size_t>(iPart);
  }
}

// The run the map names: its range, and the monitor with the command words
// it was given (a monitor that names the address in its dump takes none).
void MakeMapRun(MapRun *pRun) {
  const SettingsRec &S = Settings;
  const MonitorDialect *pDialect = CurrentDialect();
  *pRun = MapRun{};
  pRun->iStartAddr = S.iStartAddr;
  pRun->iEndAddr = S.iEndAddr;
  snprintf(pRun->szMonitor, sizeof pRun->szMonitor, "%s", pDialect->szName);
  if (pDialect->szDumpWord != nullptr) return;
  const char *aszWords[] = {S.szCommand1, S.szCommand2, S.szCommand3};
  for (const char *szWord : aszWords) {
    snprintf(pRun->aszWords[pRun->iWords++], kMapWordSize, "%s", szWord);
  }
}

// The map is this run's alone from before it is read until the run ends: a
// second run given it (from any folder) would read it, then both would
// write it. The map itself cannot carry the lock, as every save puts a new
// file in its place; the lock file beside it stays put for the whole run.
bool TakeMapLock() {
  const SettingsRec &S = Settings;
  char szLock[kTextSize + sizeof kMapLockSuffix];
  int iLen = snprintf(szLock, sizeof szLock, "%s%s", S.szMapFile, kMapLockSuffix);
  if (iLen < 0 || static_cast<size_t>(iLen) >= sizeof szLock) return false;  // bounded by --map
  LockTaking eTaken = TakeLockFile(szLock, &hMapLock);
  if (eTaken == kLockTaken) return true;
  if (eTaken == kLockHeld) {
    Print("Error: the map %s is in use by another run (which holds %s). Nothing was changed. \n",
          S.szMapFile, szLock);
  } else {
    char szReason[kReasonSize];
    DescribeLastError(szReason, sizeof szReason);
    Print("Error: the map %s cannot be locked: %s cannot be created: %s. Nothing was changed. \n",
          S.szMapFile, szLock, szReason);
  }
  return false;
}

// Every block the map calls done must be in the capture, and the capture no
// longer than the range; false (said) when they do not belong together.
bool CaptureFitsMap(const char *szName, uint64_t iSize, uint64_t iBlocks) {
  uint64_t iNeeded = 0;
  for (uint64_t i = iBlocks; i > 0; --i) {
    if (BlockState(&oMap, i - 1) == kBlockDone) {
      iNeeded = i * kBlockBytes;
      break;
    }
  }
  if (iSize <= iBlocks * kBlockBytes && iSize >= iNeeded) return true;
  Print(
      "Error: %s (%llu bytes) and the map %s do not belong together: the map has blocks read "
      "up to byte %llu of a range of %llu bytes. Nothing was changed. \n",
      szName, static_cast<unsigned long long>(iSize), Settings.szMapFile,
      static_cast<unsigned long long>(iNeeded),
      static_cast<unsigned long long>(iBlocks * kBlockBytes));
  return false;
}

// With --map: the map says which blocks are done, and the capture holds them
// at their places; a map of another run, and a capture and a map that do not
// belong together, are refused, and neither is changed. Without a map file
// yet, both start anew.
CaptureOpening OpenMappedCapture(const char *szName) {
  if (!TakeMapLock()) return kCaptureRefused;
  MakeMapRun(&oMapRun);
  char szWhy[kMapWhySize] = "";
  bool bNamed = false;
  uint64_t iBlocks = BlocksFrom(Settings.iStartAddr);
  MapLoad eLoad =
      LoadRescueMap(Settings.szMapFile, iBlocks, &oMapRun, &oMap, &bNamed, szWhy, sizeof szWhy);
  if (eLoad == kMapRefused) {
    Print("Error: the map %s cannot be used: %s. Nothing was changed. \n", Settings.szMapFile,
          szWhy);
    return kCaptureRefused;
  }
  bMapped = true;
  if (eLoad == kMapMissing) {
    oCapture.hOutFile = CreateCaptureFile(szName);
    return oCapture.hOutFile == nullptr ? ReportCantOpen() : kCaptureOpened;
  }
  uint64_t iSize = 0;
  oCapture.hOutFile = ResumeCaptureFile(szName, &iSize);
  if (oCapture.hOutFile == nullptr) return ReportCantOpen();
  if (!CaptureFitsMap(szName, iSize, iBlocks)) {
    oCapture.hOutFile = nullptr;
    return kCaptureRefused;
  }
  RescueCounts oCounts;
  CountRescueMap(&oMap, &oCounts);
  Print("Map %s: %llu of %llu blocks read, %llu left \n ", Settings.szMapFile,
        static_cast<unsigned long long>(oCounts.iDoneBlocks),
        static_cast<unsigned long long>(iBlocks),
        static_cast<unsigned long long>(iBlocks - oCounts.iDoneBlocks));
  if (!bNamed) {
    // ddrescue's map, or an older Vexlor's: only its size tells its range.
    bMapUnnamed = true;
    Print("Map %s names no range or monitor: taken for this run's, as its size fits. \n ",
          Settings.szMapFile);
  }
  return kCaptureOpened;
}

// Writes the map file, the capture's bytes first; false with the reason.
bool WriteMapFile(uint64_t iPos, char cStatus, char *szWhy, size_t iWhySize) {
  // The map calls blocks read that the capture holds: their bytes reach the
  // disk before the map that says so does, or a power cut could leave a map
  // that claims bytes the capture lost. Once per save.
  if (oCapture.hOutFile != nullptr && !FlushFileToDisk(oCapture.hOutFile)) {
    char szReason[kReasonSize];
    DescribeLastError(szReason, sizeof szReason);
    snprintf(szWhy, iWhySize, "the capture's bytes cannot be flushed to the disk: %s", szReason);
    return false;
  }
  return SaveRescueMap(Settings.szMapFile, &oMap, iPos, cStatus, szMapCommandLine, &oMapRun, szWhy,
                       iWhySize);
}

// The map file after each block, so that a run that ends in any way leaves
// the map of what it did. Said once when it cannot be written; the walk
// goes on (the capture still takes the blocks, and a later save may work),
// and its end says whether the map on disk is current.
void SaveMap(uint64_t iPos, char cStatus) {
  static bool bSaveFailed = false;
  // Taken for good by the end of the run: the lock is let go, the run ends.
  if (bMapTaken.test_and_set(std::memory_order_acquire)) return;
  char szWhy[kMapWhySize] = "";
  bool bSaved = WriteMapFile(iPos, cStatus, szWhy, sizeof szWhy);
  bMapTaken.clear(std::memory_order_release);
  bMapBehind = !bSaved;
  if (bSaved) return;
  snprintf(szMapBehindWhy, sizeof szMapBehindWhy, "%s", szWhy);
  if (bSaveFailed) return;
  bSaveFailed = true;
  Print("Error: Can't write the map %s: %s. The dump goes on. \n", Settings.szMapFile, szWhy);
  LogEvent("the map cannot be written: %s", szWhy);
}

}  // namespace

bool CaptureHasMap() { return bMapped; }

bool NextBlockOfMap(uint32_t iFrom, uint32_t *piAddr) {
  const SettingsRec &S = Settings;
  if (iFrom < S.iStartAddr || iFrom > S.iEndAddr) return false;
  uint64_t iBlock = 0;
  if (!NextBlockToRead(&oMap, MapBlockOf(iFrom), &iBlock)) return false;
  *piAddr = S.iStartAddr + static_cast<uint32_t>(iBlock * kBlockBytes);
  return true;
}

void MarkBlockBad(uint32_t iAddr) {
  static const uint8_t aZeros[kBlockBytes] = {};
  uint64_t iBlock = MapBlockOf(iAddr);
  // Zeros in its place: byte n of the capture stays the device's byte at
  // StartAddr + n for every block that was read.
  if (oCapture.hOutFile == nullptr ||
      !WriteCaptureFileAt(oCapture.hOutFile, iBlock * kBlockBytes, aZeros, kBlockBytes)) {
    ReportCaptureWriteFailure();
  }
  SetBlockState(&oMap, iBlock, kBlockBad);
  SaveMap((iBlock + 1) * kBlockBytes, kMapCopying);
}

void MarkBlockUnread(uint32_t iAddr) {
  uint64_t iBlock = MapBlockOf(iAddr);
  SetBlockState(&oMap, iBlock, kBlockUntried);
  SaveMap((iBlock + 1) * kBlockBytes, kMapCopying);
}

bool FinishMap(bool bWalkDone, uint64_t *piBadBytes, uint64_t *piBadAreas) {
  RescueCounts oCounts;
  CountRescueMap(&oMap, &oCounts);
  *piBadBytes = oCounts.iBadBytes;
  *piBadAreas = oCounts.iBadAreas;
  if (bWalkDone) SaveMap(oMap.iBlocks * kBlockBytes, kMapFinished);
  return !bMapBehind;
}

bool ReportMapBehind() {
  if (!bMapped || !bMapBehind) return false;
  Print(
      "Error: the map %s on disk is not current (%s): a run with it reads again the blocks it "
      "lacks. \n",
      Settings.szMapFile, szMapBehindWhy);
  LogEvent("the map on disk is not current: %s", szMapBehindWhy);
  return true;
}

void LogMapOpening() {
  if (bMapUnnamed) {
    LogEvent("map %s names no range or monitor: taken for this run's, as its size fits",
             Settings.szMapFile);
  }
}

void ReleaseMap() {
  if (hMapLock == nullptr) return;
  // The walk may be saving the map this moment (the operator ended the run
  // mid-walk): the lock goes only once no save can follow. A save that does
  // not end in time leaves the lock file behind, which holds nobody back
  // once this process has ended.
  uint64_t iUntil = MonotonicMs() + kMapLetGoMs;
  while (bMapTaken.test_and_set(std::memory_order_acquire)) {
    if (MonotonicMs() >= iUntil) return;
    SleepMs(1);
  }
  DropLockFile(hMapLock);
  hMapLock = nullptr;
}

bool ComposeCaptureName(char *szName, size_t iSize) {
  const SettingsRec &S = Settings;
  int iLen = snprintf(szName, iSize, "%s_%.4X_%.4X.bin", S.szCommand3, S.iStartAddr, S.iEndAddr);
  return iLen >= 0 && static_cast<size_t>(iLen) < iSize;
}

CaptureOpening OpenCapture(const char *szName, int iArgCount, char **pArgs) {
  oCapture.iWalkStartAddr = Settings.iStartAddr;
  if (Settings.szMapFile[0] != 0) {
    KeepCommandLine(iArgCount, pArgs);
    return OpenMappedCapture(szName);
  }
  if (Settings.bResume) return ResumeCapture(szName);
  // --verify reads the capture and never writes it.
  if (Settings.bVerify) return kCaptureOpened;
  // Created, and an old capture emptied, before the port is opened.
  oCapture.hOutFile = CreateCaptureFile(szName);
  return oCapture.hOutFile == nullptr ? ReportCantOpen() : kCaptureOpened;
}

void WriteOutByte(uint8_t iByte) {
  SharedStateRec &S = SharedState;
  if (oCapture.hOutFile == nullptr) return;
  uint32_t iCnt = 0;
  // A full disk or a vanished drive must not go unnoticed: the image would
  // look complete while it is short. Said once; the run goes on, since the
  // operator may still be watching the device's output.
  if (!WriteCaptureFile(oCapture.hOutFile, &iByte, 1, &iCnt)) {
    ReportCaptureWriteFailure();
    return;
  }
  S.iCapturedBytes.fetch_add(1, std::memory_order_relaxed);
}

namespace {

// One block at its place, marked finished in the map; the map is saved by
// the caller.
bool WriteOneBlock(uint32_t iAddr, const uint8_t *pBytes) {
  SharedStateRec &S = SharedState;
  uint32_t iCnt = 0;
  uint64_t iBlock = MapBlockOf(iAddr);
  bool bWritten =
      oCapture.hOutFile != nullptr &&
      (bMapped ? WriteCaptureFileAt(oCapture.hOutFile, iBlock * kBlockBytes, pBytes, kBlockBytes)
               : WriteCaptureFile(oCapture.hOutFile, pBytes, kBlockBytes, &iCnt));
  if (!bWritten) {
    ReportCaptureWriteFailure();
    return false;
  }
  S.iCapturedBytes.fetch_add(kBlockBytes, std::memory_order_relaxed);
  if (bMapped) SetBlockState(&oMap, iBlock, kBlockDone);
  return true;
}

}  // namespace

bool WriteCapturedBlock(uint32_t iAddr, const uint8_t *pBytes) {
  if (!WriteOneBlock(iAddr, pBytes)) return false;
  if (bMapped) SaveMap((MapBlockOf(iAddr) + 1) * kBlockBytes, kMapCopying);
  return true;
}

// A span of one byte value: the map is saved once for the whole span, not
// after each of its blocks.
bool WriteCapturedFill(uint32_t iAddr, uint8_t iFill, uint32_t iBlocks) {
  uint8_t aFill[kBlockBytes];
  memset(aFill, iFill, sizeof aFill);
  for (uint32_t i = 0; i < iBlocks; ++i) {
    if (!WriteOneBlock(iAddr + i * kBlockBytes, aFill)) return false;
  }
  if (bMapped) SaveMap((MapBlockOf(iAddr) + iBlocks) * kBlockBytes, kMapCopying);
  return true;
}

void ReportCaptureWriteFailure() {
  if (oCapture.bOutWriteFailed) return;
  oCapture.bOutWriteFailed = true;
  // A capture that was never opened was said to be so: no write was tried,
  // and the system's last error would belong to some other call.
  if (oCapture.hOutFile == nullptr) return;
  char szReason[kReasonSize];
  DescribeLastError(szReason, sizeof szReason);
  Print("Error: Can't write the out file. \n");
  ReportSystemReason("the capture cannot be written", szReason, true);
}

uint32_t WalkStartAddr() { return oCapture.iWalkStartAddr; }

bool CaptureAlreadyComplete() { return oCapture.bCaptureComplete; }

FileHandle SwapCaptureFile(FileHandle hFile) {
  FileHandle hOld = oCapture.hOutFile;
  oCapture = CaptureRec();
  oCapture.hOutFile = hFile;
  return hOld;
}
