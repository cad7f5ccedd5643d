// rescue_map.cpp - the block states of the range as areas, and their file.
#include "files/rescue_map.h"

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "core/print.h"
#include "platform/platform.h"

namespace {

enum {
  kLineMax = 160,   // one line of the file as we write it, command line excepted
  kPathMax = 1024,  // the map's name and ".new"
};
const size_t kReadStep = 64 * 1024;

// The comment lines that name the run, as written and as recognised (at the
// start of a line, word for word).
const char kRangeComment[] = "# Range:";
const char kMonitorComment[] = "# Monitor:";

bool IsState(char c) { return c == kBlockDone || c == kBlockBad || c == kBlockUntried; }

uint64_t AreaEnd(const RescueMap *pMap, uint64_t k) {
  return k + 1 < pMap->iAreas ? pMap->pAreas[k + 1].iFirstBlock : pMap->iBlocks;
}

// The area that holds iBlock (which is inside the range).
uint64_t AreaOf(const RescueMap *pMap, uint64_t iBlock) {
  uint64_t iLow = 0;
  uint64_t iHigh = pMap->iAreas;  // the area is in [iLow, iHigh)
  while (iHigh - iLow > 1) {
    uint64_t iMid = iLow + (iHigh - iLow) / 2;
    if (pMap->pAreas[iMid].iFirstBlock <= iBlock) {
      iLow = iMid;
    } else {
      iHigh = iMid;
    }
  }
  return iLow;
}

// Room for iMore areas beyond those in use. A map never needs more areas
// than it has blocks, so that bounds the memory, hostile file or not.
bool ReserveAreas(RescueMap *pMap, uint64_t iMore) {
  uint64_t iNeed = pMap->iAreas + iMore;
  if (iNeed <= pMap->iCapacity) return true;
  if (iNeed > pMap->iBlocks) return false;
  uint64_t iCapacity = pMap->iCapacity < 8 ? 8 : pMap->iCapacity * 2;
  if (iCapacity > pMap->iBlocks) iCapacity = pMap->iBlocks;
  if (iCapacity < iNeed) iCapacity = iNeed;
  if (iCapacity > SIZE_MAX / sizeof(RescueArea)) return false;
  void *pBigger = realloc(pMap->pAreas, static_cast<size_t>(iCapacity) * sizeof(RescueArea));
  if (pBigger == nullptr) return false;
  pMap->pAreas = static_cast<RescueArea *>(pBigger);
  pMap->iCapacity = iCapacity;
  return true;
}

void InsertAreas(RescueMap *pMap, uint64_t k, uint64_t iCount) {
  memmove(pMap->pAreas + k + iCount, pMap->pAreas + k,
          static_cast<size_t>(pMap->iAreas - k) * sizeof(RescueArea));
  pMap->iAreas += iCount;
}

void RemoveAreas(RescueMap *pMap, uint64_t k, uint64_t iCount) {
  memmove(pMap->pAreas + k, pMap->pAreas + k + iCount,
          static_cast<size_t>(pMap->iAreas - k - iCount) * sizeof(RescueArea));
  pMap->iAreas -= iCount;
}

void SetWhy(char *szWhy, size_t iWhySize, const char *szFormat, ...) VEXLOR_PRINTF_LIKE(3, 4);
void SetWhy(char *szWhy, size_t iWhySize, const char *szFormat, ...) {
  if (szWhy == nullptr || iWhySize == 0) return;
  va_list oArgs;
  va_start(oArgs, szFormat);
  vsnprintf(szWhy, iWhySize, szFormat, oArgs);
  va_end(oArgs);
}

// ---- Writing ----------------------------------------------------------------

// Where formatted text goes: a growable buffer or an open file.
struct MapSink {
  MapText *pText;
  FILE *pFile;
};

bool Emit(MapSink *pSink, const char *pBytes, size_t iCount) {
  if (pSink->pFile != nullptr) return fwrite(pBytes, 1, iCount, pSink->pFile) == iCount;
  MapText *p = pSink->pText;
  if (iCount > SIZE_MAX - p->iLen - 1) return false;
  if (p->iLen + iCount + 1 > p->iSize) {
    size_t iSize = p->iSize < 4096 ? 4096 : p->iSize;
    while (iSize < p->iLen + iCount + 1) {
      if (iSize > SIZE_MAX / 2) return false;
      iSize *= 2;
    }
    char *pBigger = static_cast<char *>(realloc(p->pText, iSize));
    if (pBigger == nullptr) return false;
    p->pText = pBigger;
    p->iSize = iSize;
  }
  memcpy(p->pText + p->iLen, pBytes, iCount);
  p->iLen += iCount;
  p->pText[p->iLen] = 0;
  return true;
}

bool EmitLine(MapSink *pSink, const char *szFormat, ...) VEXLOR_PRINTF_LIKE(2, 3);
bool EmitLine(MapSink *pSink, const char *szFormat, ...) {
  char szLine[kLineMax];
  va_list oArgs;
  va_start(oArgs, szFormat);
  int iLen = vsnprintf(szLine, sizeof szLine, szFormat, oArgs);
  va_end(oArgs);
  if (iLen < 0 || static_cast<size_t>(iLen) >= sizeof szLine) return false;
  return Emit(pSink, szLine, static_cast<size_t>(iLen));
}

// A line end or another control character in the command line would end
// the comment and leave the rest as a line the reader cannot parse.
bool EmitCommandLine(MapSink *pSink, const char *szCommandLine) {
  if (!Emit(pSink, "# Command line:", 15)) return false;
  if (szCommandLine != nullptr && szCommandLine[0] != 0) {
    if (!Emit(pSink, " ", 1)) return false;
    for (const char *p = szCommandLine; *p != 0;) {
      size_t n = 0;
      while (p[n] != 0 && static_cast<unsigned char>(p[n]) >= 0x20 && p[n] != 0x7F) ++n;
      if (n > 0 && !Emit(pSink, p, n)) return false;
      p += n;
      if (*p != 0) {
        if (!Emit(pSink, " ", 1)) return false;
        ++p;
      }
    }
  }
  return Emit(pSink, "\n", 1);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// A name or a command word reads back as one word only when it holds no
// blank and no line end (a command line's words never do).
bool IsMapWord(const char *szWord, size_t iSize) {
  size_t iLen = strnlen(szWord, iSize);
  if (iLen == 0 || iLen == iSize) return false;
  for (size_t i = 0; i < iLen; ++i) {
    if (IsBlank(szWord[i]) || szWord[i] == '\n') return false;
  }
  return true;
}

bool EmitRun(MapSink *pSink, const MapRun *pRun) {
  if (pRun == nullptr) return true;
  if (!IsMapWord(pRun->szMonitor, sizeof pRun->szMonitor) || pRun->iWords > kMapWordsMax) {
    return false;
  }
  if (!EmitLine(pSink, "%s 0x%08X 0x%08X\n", kRangeComment, pRun->iStartAddr, pRun->iEndAddr) ||
      !EmitLine(pSink, "%s %s", kMonitorComment, pRun->szMonitor)) {
    return false;
  }
  for (uint32_t i = 0; i < pRun->iWords; ++i) {
    const char *szWord = pRun->aszWords[i];
    if (!IsMapWord(szWord, kMapWordSize) || !Emit(pSink, " ", 1) ||
        !Emit(pSink, szWord, strlen(szWord))) {
      return false;
    }
  }
  return Emit(pSink, "\n", 1);
}

bool EmitRescueMap(const RescueMap *pMap, uint64_t iCurrentPos, char cCurrentStatus,
                   const char *szCommandLine, const MapRun *pRun, MapSink *pSink) {
  if (pMap->iAreas == 0) return false;
  if (cCurrentStatus != kMapCopying && cCurrentStatus != kMapFinished) return false;
  if (!EmitLine(pSink, "# Mapfile. Created by Vexlor %s\n", VEXLOR_VERSION) ||
      !EmitCommandLine(pSink, szCommandLine) || !EmitRun(pSink, pRun) ||
      !EmitLine(pSink, "# current_pos  current_status  current_pass\n") ||
      !EmitLine(pSink, "0x%08llX     %c               1\n",
                static_cast<unsigned long long>(iCurrentPos), cCurrentStatus) ||
      !EmitLine(pSink, "#      pos        size  status\n")) {
    return false;
  }
  for (uint64_t k = 0; k < pMap->iAreas; ++k) {
    const RescueArea &oArea = pMap->pAreas[k];
    uint64_t iSize = (AreaEnd(pMap, k) - oArea.iFirstBlock) * kMapBlockBytes;
    if (!EmitLine(pSink, "0x%08llX  0x%08llX  %c\n",
                  static_cast<unsigned long long>(oArea.iFirstBlock * kMapBlockBytes),
                  static_cast<unsigned long long>(iSize), oArea.cState)) {
      return false;
    }
  }
  return true;
}

// ---- Reading ----------------------------------------------------------------

// The text, cut into lines and blank-separated words. A word that starts
// with '#' starts a comment that runs to the line's end.
struct MapReader {
  const char *p;
  const char *pEnd;
  uint64_t iLine;  // of the line last taken
};

// More than an area line has (the excess is reported), and as many as a
// monitor's name and its command words.
enum { kMaxWords = 1 + kMapWordsMax };

struct MapWord {
  const char *p;
  size_t n;
};

// The line that starts at pReader->p, which moves on to the next one.
const char *TakeLine(MapReader *pReader) {
  ++pReader->iLine;
  const char *pLineEnd =
      static_cast<const char *>(memchr(pReader->p, '\n', pReader->pEnd - pReader->p));
  if (pLineEnd == nullptr) pLineEnd = pReader->pEnd;
  pReader->p = pLineEnd < pReader->pEnd ? pLineEnd + 1 : pLineEnd;
  return pLineEnd;
}

// The blank-separated words of p..pEnd, up to a comment's '#' when
// bToComment: the first kMaxWords kept, all of them counted.
size_t SplitWords(const char *p, const char *pEnd, bool bToComment, MapWord *aWords) {
  size_t iWords = 0;
  while (p < pEnd) {
    while (p < pEnd && IsBlank(*p)) ++p;
    if (p == pEnd || (bToComment && *p == '#')) break;
    const char *pWord = p;
    while (p < pEnd && !IsBlank(*p)) ++p;
    if (iWords < kMaxWords) aWords[iWords] = MapWord{pWord, static_cast<size_t>(p - pWord)};
    ++iWords;
  }
  return iWords;
}

// The next line that holds more than blanks and a comment: its first words
// (iWords counts them all, kept or not). False at the end of the text.
bool NextDataLine(MapReader *pReader, MapWord *aWords, size_t *piWords) {
  while (pReader->p < pReader->pEnd) {
    const char *p = pReader->p;
    size_t iWords = SplitWords(p, TakeLine(pReader), true, aWords);
    if (iWords > 0) {
      *piWords = iWords;
      return true;
    }
  }
  return false;
}

enum NumberRead { kNumberOk, kNumberBad, kNumberTooBig };

// An integer as the file may hold it: decimal, 0x hexadecimal or 0 octal.
NumberRead ReadNumber(const MapWord &oWord, bool bDecimalOnly, uint64_t *piValue) {
  const char *p = oWord.p;
  const char *pEnd = oWord.p + oWord.n;
  unsigned iBase = 10;
  if (!bDecimalOnly && pEnd - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    iBase = 16;
    p += 2;
  } else if (!bDecimalOnly && pEnd - p > 1 && p[0] == '0') {
    iBase = 8;
    ++p;
  }
  if (p == pEnd) return kNumberBad;
  uint64_t iValue = 0;
  for (; p < pEnd; ++p) {
    unsigned iDigit;
    if (*p >= '0' && *p <= '9') {
      iDigit = static_cast<unsigned>(*p - '0');
    } else if (*p >= 'a' && *p <= 'f') {
      iDigit = static_cast<unsigned>(*p - 'a' + 10);
    } else if (*p >= 'A' && *p <= 'F') {
      iDigit = static_cast<unsigned>(*p - 'A' + 10);
    } else {
      return kNumberBad;
    }
    if (iDigit >= iBase) return kNumberBad;
    if (iValue > (UINT64_MAX - iDigit) / iBase) return kNumberTooBig;
    iValue = iValue * iBase + iDigit;
  }
  *piValue = iValue;
  return kNumberOk;
}

// Reads a word as a number; false with the reason when it is none.
bool ReadWordNumber(const MapReader &oReader, const MapWord &oWord, const char *szWhat,
                    bool bDecimalOnly, uint64_t *piValue, char *szWhy, size_t iWhySize) {
  NumberRead eRead = ReadNumber(oWord, bDecimalOnly, piValue);
  if (eRead == kNumberOk) return true;
  if (eRead == kNumberTooBig) {
    bool bLong = oWord.n > 24;
    SetWhy(szWhy, iWhySize, "line %llu: the %s %.*s%s is too big a number",
           static_cast<unsigned long long>(oReader.iLine), szWhat,
           bLong ? 24 : static_cast<int>(oWord.n), oWord.p, bLong ? "..." : "");
  } else {
    SetWhy(szWhy, iWhySize, "line %llu: the %s is not a number",
           static_cast<unsigned long long>(oReader.iLine), szWhat);
  }
  return false;
}

// One character among szAllowed, or 0.
char ReadStatus(const MapWord &oWord, const char *szAllowed) {
  if (oWord.n != 1 || oWord.p[0] == 0 || strchr(szAllowed, oWord.p[0]) == nullptr) return 0;
  return oWord.p[0];
}

// The status line: a position, a status and (since ddrescue 1.20) a pass.
bool ReadStatusLine(MapReader *pReader, char *szWhy, size_t iWhySize) {
  MapWord aWords[kMaxWords];
  size_t iWords = 0;
  if (!NextDataLine(pReader, aWords, &iWords)) {
    SetWhy(szWhy, iWhySize, "there is no status line: it is empty or holds only comments");
    return false;
  }
  uint64_t iValue = 0;
  if (iWords < 2 || iWords > 3) {
    SetWhy(szWhy, iWhySize,
           "line %llu: the status line has %llu words, expected a position, a status and a pass",
           static_cast<unsigned long long>(pReader->iLine),
           static_cast<unsigned long long>(iWords));
    return false;
  }
  if (!ReadWordNumber(*pReader, aWords[0], "current position", false, &iValue, szWhy, iWhySize)) {
    return false;
  }
  if (ReadStatus(aWords[1], "?*/-FG+") == 0) {
    SetWhy(szWhy, iWhySize, "line %llu: the current status is not one of ? * / - F G +",
           static_cast<unsigned long long>(pReader->iLine));
    return false;
  }
  if (iWords == 3 &&
      !ReadWordNumber(*pReader, aWords[2], "current pass", true, &iValue, szWhy, iWhySize)) {
    return false;
  }
  return true;
}

// Starts an area of state cState at block iFirst, after the areas read so
// far, or lets the last one run on when it has that state already.
bool AppendArea(RescueMap *pMap, uint64_t iFirst, char cState) {
  if (pMap->iAreas > 0 && pMap->pAreas[pMap->iAreas - 1].cState == cState) return true;
  if (!ReserveAreas(pMap, 1)) return false;
  pMap->pAreas[pMap->iAreas++] = RescueArea{iFirst, cState};
  return true;
}

// Whether the area of iSize bytes at iPos follows the one before (which ends
// at iCovered) and fits the range of iTotal bytes in whole blocks.
bool AreaFits(unsigned long long iLine, uint64_t iPos, uint64_t iSize, uint64_t iCovered,
              uint64_t iTotal, char *szWhy, size_t iWhySize) {
  if (iPos != iCovered && iCovered == 0) {
    SetWhy(szWhy, iWhySize, "line %llu: the first area starts at 0x%llX, not at 0", iLine,
           static_cast<unsigned long long>(iPos));
    return false;
  }
  if (iPos != iCovered) {
    SetWhy(szWhy, iWhySize, "line %llu: the area at 0x%llX %s the one before, which ends at 0x%llX",
           iLine, static_cast<unsigned long long>(iPos),
           iPos < iCovered ? "overlaps" : "leaves a gap after",
           static_cast<unsigned long long>(iCovered));
    return false;
  }
  if (iSize == 0) {
    SetWhy(szWhy, iWhySize, "line %llu: the area at 0x%llX is empty", iLine,
           static_cast<unsigned long long>(iPos));
    return false;
  }
  if (iSize > iTotal - iPos) {
    SetWhy(szWhy, iWhySize,
           "line %llu: the area at 0x%llX runs past the end of the range (0x%llX bytes): the "
           "map is of another range",
           iLine, static_cast<unsigned long long>(iPos), static_cast<unsigned long long>(iTotal));
    return false;
  }
  if (iPos % kMapBlockBytes != 0 || iSize % kMapBlockBytes != 0) {
    SetWhy(szWhy, iWhySize,
           "line %llu: the area at 0x%llX of 0x%llX bytes is not whole blocks of %llu bytes "
           "(edited by hand?)",
           iLine, static_cast<unsigned long long>(iPos), static_cast<unsigned long long>(iSize),
           static_cast<unsigned long long>(kMapBlockBytes));
    return false;
  }
  return true;
}

bool ReadAreas(MapReader *pReader, RescueMap *pMap, char *szWhy, size_t iWhySize) {
  const uint64_t iTotal = pMap->iBlocks * kMapBlockBytes;
  uint64_t iCovered = 0;  // bytes: where the next area must start
  MapWord aWords[kMaxWords];
  size_t iWords = 0;
  while (NextDataLine(pReader, aWords, &iWords)) {
    unsigned long long iLine = pReader->iLine;
    if (iWords != 3) {
      SetWhy(szWhy, iWhySize, "line %llu: %llu words, expected a position, a size and a status",
             iLine, static_cast<unsigned long long>(iWords));
      return false;
    }
    uint64_t iPos = 0;
    uint64_t iSize = 0;
    if (!ReadWordNumber(*pReader, aWords[0], "position", false, &iPos, szWhy, iWhySize) ||
        !ReadWordNumber(*pReader, aWords[1], "size", false, &iSize, szWhy, iWhySize)) {
      return false;
    }
    char cStatus = ReadStatus(aWords[2], "?*/-+");
    if (cStatus == 0) {
      SetWhy(szWhy, iWhySize, "line %llu: the status is not one of ? * / - +", iLine);
      return false;
    }
    if (!AreaFits(iLine, iPos, iSize, iCovered, iTotal, szWhy, iWhySize)) return false;
    // A failed read that ddrescue has not finished with is worth another try.
    char cState = cStatus == '*' || cStatus == '/' ? kBlockUntried : cStatus;
    if (!AppendArea(pMap, iPos / kMapBlockBytes, cState)) {
      SetWhy(szWhy, iWhySize, "not enough memory for the map's areas");
      return false;
    }
    iCovered = iPos + iSize;
  }
  if (iCovered != iTotal) {
    SetWhy(szWhy, iWhySize,
           "the areas end at 0x%llX but the range has 0x%llX bytes: the map is cut short or of "
           "another range",
           static_cast<unsigned long long>(iCovered), static_cast<unsigned long long>(iTotal));
    return false;
  }
  return true;
}

bool StartsWith(const char *p, const char *pEnd, const char *szKey) {
  size_t iLen = strlen(szKey);
  return static_cast<size_t>(pEnd - p) >= iLen && memcmp(p, szKey, iLen) == 0;
}

// "# Range: 0x00010000 0x0002FFFF": two addresses, the first not after the second.
bool ReadRangeComment(const MapWord *aWords, size_t iWords, MapRun *pRun) {
  uint64_t iStart = 0;
  uint64_t iEnd = 0;
  if (iWords != 2 || ReadNumber(aWords[0], false, &iStart) != kNumberOk ||
      ReadNumber(aWords[1], false, &iEnd) != kNumberOk || iEnd > UINT32_MAX || iStart > iEnd) {
    return false;
  }
  pRun->iStartAddr = static_cast<uint32_t>(iStart);
  pRun->iEndAddr = static_cast<uint32_t>(iEnd);
  return true;
}

bool CopyWord(const MapWord &oWord, char *szTo, size_t iSize) {
  if (oWord.n >= iSize) return false;
  memcpy(szTo, oWord.p, oWord.n);
  szTo[oWord.n] = 0;
  return true;
}

// "# Monitor: default BB BT DM": the monitor's name and its command words.
bool ReadMonitorComment(const MapWord *aWords, size_t iWords, MapRun *pRun) {
  if (iWords < 1 || iWords > kMaxWords ||
      !CopyWord(aWords[0], pRun->szMonitor, sizeof pRun->szMonitor)) {
    return false;
  }
  pRun->iWords = static_cast<uint32_t>(iWords - 1);
  for (uint32_t i = 0; i < pRun->iWords; ++i) {
    if (!CopyWord(aWords[i + 1], pRun->aszWords[i], kMapWordSize)) return false;
  }
  return true;
}

// The run the map names, from its comment lines; *pbNamed false when it
// names none. Both lines or neither: one alone, one twice or one that does
// not read is a damaged map.
bool ReadRunComments(const char *pText, size_t iLen, MapRun *pRun, bool *pbNamed, char *szWhy,
                     size_t iWhySize) {
  *pRun = MapRun{};
  bool bRange = false;
  bool bMonitor = false;
  MapReader oReader = {pText, pText + iLen, 0};
  while (oReader.p < oReader.pEnd) {
    const char *p = oReader.p;
    const char *pLineEnd = TakeLine(&oReader);
    bool bIsRange = StartsWith(p, pLineEnd, kRangeComment);
    if (!bIsRange && !StartsWith(p, pLineEnd, kMonitorComment)) continue;
    const char *szWhat = bIsRange ? "range" : "monitor";
    bool &bSeen = bIsRange ? bRange : bMonitor;
    if (bSeen) {
      SetWhy(szWhy, iWhySize, "line %llu: the map names its %s a second time",
             static_cast<unsigned long long>(oReader.iLine), szWhat);
      return false;
    }
    bSeen = true;
    MapWord aWords[kMaxWords];
    p += strlen(bIsRange ? kRangeComment : kMonitorComment);
    size_t iWords = SplitWords(p, pLineEnd, false, aWords);
    if (bIsRange ? !ReadRangeComment(aWords, iWords, pRun)
                 : !ReadMonitorComment(aWords, iWords, pRun)) {
      SetWhy(szWhy, iWhySize, "line %llu: the %s comment is damaged (edited by hand?)",
             static_cast<unsigned long long>(oReader.iLine), szWhat);
      return false;
    }
  }
  if (bRange != bMonitor) {
    SetWhy(szWhy, iWhySize, "the map names its %s but not its %s (edited by hand?)",
           bRange ? "range" : "monitor", bRange ? "monitor" : "range");
    return false;
  }
  *pbNamed = bRange;
  return true;
}

// Adds a part to the reason, after "; " when there is one already.
void AddWhy(char *szWhy, size_t iWhySize, const char *szFormat, ...) VEXLOR_PRINTF_LIKE(3, 4);
void AddWhy(char *szWhy, size_t iWhySize, const char *szFormat, ...) {
  if (szWhy == nullptr || iWhySize == 0) return;
  size_t iLen = strnlen(szWhy, iWhySize);
  if (iLen > 0 && iLen + 2 < iWhySize) {
    memcpy(szWhy + iLen, "; ", 3);
    iLen += 2;
  }
  if (iLen + 1 >= iWhySize) return;
  va_list oArgs;
  va_start(oArgs, szFormat);
  vsnprintf(szWhy + iLen, iWhySize - iLen, szFormat, oArgs);
  va_end(oArgs);
}

void JoinWords(const MapRun &oRun, char *szText, size_t iSize) {
  size_t iLen = 0;
  szText[0] = 0;
  for (uint32_t i = 0; i < oRun.iWords && iLen + 1 < iSize; ++i) {
    int iPart = snprintf(szText + iLen, iSize - iLen, "%s%s", i > 0 ? " " : "", oRun.aszWords[i]);
    if (iPart < 0) break;
    iLen += static_cast<size_t>(iPart);
  }
  if (oRun.iWords == 0) snprintf(szText, iSize, "none");
}

// Says what differs between the run a map names and this one; false when
// nothing does. The command words are compared only for one monitor.
bool DescribeOtherRun(const MapRun &oNamed, const MapRun &oOurs, char *szWhy, size_t iWhySize) {
  SetWhy(szWhy, iWhySize, "%s", "");
  bool bSameRange = oNamed.iStartAddr == oOurs.iStartAddr && oNamed.iEndAddr == oOurs.iEndAddr;
  if (!bSameRange) {
    AddWhy(szWhy, iWhySize, "its range is %.8X to %.8X, not %.8X to %.8X", oNamed.iStartAddr,
           oNamed.iEndAddr, oOurs.iStartAddr, oOurs.iEndAddr);
  }
  bool bSameMonitor = strcmp(oNamed.szMonitor, oOurs.szMonitor) == 0;
  if (!bSameMonitor) {
    AddWhy(szWhy, iWhySize, "its monitor is %s, not %s", oNamed.szMonitor, oOurs.szMonitor);
  }
  bool bSameWords = oNamed.iWords == oOurs.iWords;
  for (uint32_t i = 0; bSameWords && i < oNamed.iWords; ++i) {
    bSameWords = strcmp(oNamed.aszWords[i], oOurs.aszWords[i]) == 0;
  }
  if (bSameMonitor && !bSameWords) {
    char szNamed[kMaxWords * kMapWordSize];
    char szOurs[kMaxWords * kMapWordSize];
    JoinWords(oNamed, szNamed, sizeof szNamed);
    JoinWords(oOurs, szOurs, sizeof szOurs);
    AddWhy(szWhy, iWhySize, "its command words are %s, not %s", szNamed, szOurs);
  }
  return !bSameRange || !bSameMonitor || !bSameWords;
}

}  // namespace

bool InitRescueMap(RescueMap *pMap, uint64_t iBlocks) {
  *pMap = RescueMap{};
  if (iBlocks == 0 || iBlocks > UINT64_MAX / kMapBlockBytes) return false;
  pMap->iBlocks = iBlocks;
  if (!ReserveAreas(pMap, 1)) {
    *pMap = RescueMap{};
    return false;
  }
  pMap->pAreas[0] = RescueArea{0, kBlockUntried};
  pMap->iAreas = 1;
  return true;
}

void FreeRescueMap(RescueMap *pMap) {
  free(pMap->pAreas);
  *pMap = RescueMap{};
}

namespace {

// Area k is one block alone: it takes the new state and merges with the
// neighbours that have it.
void SetLoneBlockState(RescueMap *pMap, uint64_t k, char cState, bool bJoinsBefore,
                       bool bJoinsAfter) {
  if (bJoinsBefore && bJoinsAfter) {
    RemoveAreas(pMap, k, 2);
  } else if (bJoinsBefore) {
    RemoveAreas(pMap, k, 1);
  } else if (bJoinsAfter) {
    RemoveAreas(pMap, k + 1, 1);
    pMap->pAreas[k].cState = cState;
  } else {
    pMap->pAreas[k].cState = cState;
  }
}

}  // namespace

bool SetBlockState(RescueMap *pMap, uint64_t iBlock, char cState) {
  if (iBlock >= pMap->iBlocks || pMap->iAreas == 0 || !IsState(cState)) return false;
  uint64_t k = AreaOf(pMap, iBlock);
  RescueArea *a = pMap->pAreas;
  char cOld = a[k].cState;
  if (cOld == cState) return true;
  uint64_t iFirst = a[k].iFirstBlock;
  uint64_t iEnd = AreaEnd(pMap, k);
  bool bJoinsBefore = iBlock == iFirst && k > 0 && a[k - 1].cState == cState;
  bool bJoinsAfter = iBlock + 1 == iEnd && k + 1 < pMap->iAreas && a[k + 1].cState == cState;
  if (iEnd - iFirst == 1) {
    SetLoneBlockState(pMap, k, cState, bJoinsBefore, bJoinsAfter);
  } else if (iBlock == iFirst) {
    if (bJoinsBefore) {
      a[k].iFirstBlock = iFirst + 1;
    } else {
      if (!ReserveAreas(pMap, 1)) return false;
      a = pMap->pAreas;
      InsertAreas(pMap, k, 1);
      a[k] = RescueArea{iBlock, cState};
      a[k + 1].iFirstBlock = iBlock + 1;
    }
  } else if (iBlock + 1 == iEnd) {
    if (bJoinsAfter) {
      a[k + 1].iFirstBlock = iBlock;
    } else {
      if (!ReserveAreas(pMap, 1)) return false;
      a = pMap->pAreas;
      InsertAreas(pMap, k + 1, 1);
      a[k + 1] = RescueArea{iBlock, cState};
    }
  } else {
    if (!ReserveAreas(pMap, 2)) return false;
    a = pMap->pAreas;
    InsertAreas(pMap, k + 1, 2);
    a[k + 1] = RescueArea{iBlock, cState};
    a[k + 2] = RescueArea{iBlock + 1, cOld};
  }
  return true;
}

char BlockState(const RescueMap *pMap, uint64_t iBlock) {
  if (iBlock >= pMap->iBlocks || pMap->iAreas == 0) return 0;
  return pMap->pAreas[AreaOf(pMap, iBlock)].cState;
}

bool NextBlockToRead(const RescueMap *pMap, uint64_t iFrom, uint64_t *piBlock) {
  if (iFrom >= pMap->iBlocks || pMap->iAreas == 0) return false;
  uint64_t k = AreaOf(pMap, iFrom);
  if (pMap->pAreas[k].cState != kBlockDone) {
    *piBlock = iFrom;
    return true;
  }
  // Neighbours differ, so the area after a done one is not done.
  if (k + 1 == pMap->iAreas) return false;
  *piBlock = pMap->pAreas[k + 1].iFirstBlock;
  return true;
}

void CountRescueMap(const RescueMap *pMap, RescueCounts *pCounts) {
  *pCounts = RescueCounts{};
  for (uint64_t k = 0; k < pMap->iAreas; ++k) {
    uint64_t iBlocks = AreaEnd(pMap, k) - pMap->pAreas[k].iFirstBlock;
    if (pMap->pAreas[k].cState == kBlockDone) pCounts->iDoneBlocks += iBlocks;
    if (pMap->pAreas[k].cState == kBlockBad) {
      pCounts->iBadBytes += iBlocks * kMapBlockBytes;
      ++pCounts->iBadAreas;
    }
  }
}

bool FormatRescueMap(const RescueMap *pMap, uint64_t iCurrentPos, char cCurrentStatus,
                     const char *szCommandLine, const MapRun *pRun, MapText *pText) {
  pText->iLen = 0;
  MapSink oSink = {pText, nullptr};
  return EmitRescueMap(pMap, iCurrentPos, cCurrentStatus, szCommandLine, pRun, &oSink);
}

bool WriteRescueMap(const RescueMap *pMap, uint64_t iCurrentPos, char cCurrentStatus,
                    const char *szCommandLine, const MapRun *pRun, FILE *pFile) {
  MapSink oSink = {nullptr, pFile};
  return EmitRescueMap(pMap, iCurrentPos, cCurrentStatus, szCommandLine, pRun, &oSink);
}

void FreeMapText(MapText *pText) {
  free(pText->pText);
  *pText = MapText{};
}

bool ParseRescueMap(const char *pText, size_t iLen, uint64_t iBlocks, const MapRun *pRun,
                    RescueMap *pMap, bool *pbRunNamed, char *szWhy, size_t iWhySize) {
  SetWhy(szWhy, iWhySize, "%s", "");
  *pMap = RescueMap{};
  bool bNamed = false;
  if (pbRunNamed != nullptr) *pbRunNamed = false;
  if (iBlocks == 0 || iBlocks > UINT64_MAX / kMapBlockBytes) {
    SetWhy(szWhy, iWhySize, "a range of %llu blocks cannot have a map",
           static_cast<unsigned long long>(iBlocks));
    return false;
  }
  // The run first: a map of another range says so, whatever its size.
  MapRun oNamed;
  if (!ReadRunComments(pText, iLen, &oNamed, &bNamed, szWhy, iWhySize) ||
      (bNamed && pRun != nullptr && DescribeOtherRun(oNamed, *pRun, szWhy, iWhySize))) {
    return false;
  }
  pMap->iBlocks = iBlocks;
  MapReader oReader = {pText, pText + iLen, 0};
  if (!ReadStatusLine(&oReader, szWhy, iWhySize) || !ReadAreas(&oReader, pMap, szWhy, iWhySize)) {
    FreeRescueMap(pMap);
    return false;
  }
  if (pbRunNamed != nullptr) *pbRunNamed = bNamed;
  return true;
}

namespace {

enum MapFileRead { kMapFileRead, kMapFileTooBig, kMapFileUnread };

// Reads the open file whole into *ppText (to be freed, also on failure).
// Read in steps, not by the size the file claims: no seek is needed (a long
// is 32 bits on Windows) and a file that grows meanwhile is caught.
MapFileRead ReadWholeMapFile(FILE *pFile, char **ppText, size_t *piLen) {
  size_t iSize = 0;
  for (;;) {
    if (*piLen == kMapFileMax) {
      char c;
      return fread(&c, 1, 1, pFile) == 1 ? kMapFileTooBig : kMapFileRead;
    }
    if (*piLen == iSize) {
      iSize = iSize == 0 ? kReadStep : iSize * 2 > kMapFileMax ? kMapFileMax : iSize * 2;
      char *pBigger = static_cast<char *>(realloc(*ppText, iSize));
      if (pBigger == nullptr) return kMapFileUnread;
      *ppText = pBigger;
    }
    size_t iGot = fread(*ppText + *piLen, 1, iSize - *piLen, pFile);
    *piLen += iGot;
    if (*piLen < iSize) return ferror(pFile) != 0 ? kMapFileUnread : kMapFileRead;
  }
}

}  // namespace

MapLoad LoadRescueMap(const char *szFile, uint64_t iBlocks, const MapRun *pRun, RescueMap *pMap,
                      bool *pbRunNamed, char *szWhy, size_t iWhySize) {
  *pMap = RescueMap{};
  if (pbRunNamed != nullptr) *pbRunNamed = false;
  FILE *pFile = fopen(szFile, "rb");
  if (pFile == nullptr) {
    if (errno == ENOENT) {
      if (!InitRescueMap(pMap, iBlocks)) {
        SetWhy(szWhy, iWhySize, "%s is missing, and a new map cannot be made", szFile);
        return kMapRefused;
      }
      SetWhy(szWhy, iWhySize, "%s is missing: every block is still to read", szFile);
      return kMapMissing;
    }
    SetWhy(szWhy, iWhySize, "%s cannot be opened: %s", szFile, strerror(errno));
    return kMapRefused;
  }
  char *pText = nullptr;
  size_t iLen = 0;
  MapFileRead eRead = ReadWholeMapFile(pFile, &pText, &iLen);
  bool bTooBig = eRead == kMapFileTooBig;
  bool bFailed = eRead == kMapFileUnread;
  fclose(pFile);
  MapLoad eLoad = kMapRefused;
  if (bTooBig) {
    SetWhy(szWhy, iWhySize, "%s is bigger than %llu MiB: it is no map", szFile,
           static_cast<unsigned long long>(kMapFileMax >> 20));
  } else if (bFailed) {
    SetWhy(szWhy, iWhySize, "%s cannot be read whole", szFile);
  } else {
    char szParseWhy[512];
    if (ParseRescueMap(pText, iLen, iBlocks, pRun, pMap, pbRunNamed, szParseWhy,
                       sizeof szParseWhy)) {
      eLoad = kMapLoaded;
    } else {
      SetWhy(szWhy, iWhySize, "%s: %s", szFile, szParseWhy);
    }
  }
  free(pText);
  return eLoad;
}

bool SaveRescueMap(const char *szFile, const RescueMap *pMap, uint64_t iCurrentPos,
                   char cCurrentStatus, const char *szCommandLine, const MapRun *pRun, char *szWhy,
                   size_t iWhySize) {
  // The new map is written beside the old one, on the same file system, so
  // that putting it in the old one's place is a rename and never a copy.
  char szNew[kPathMax];
  int iLen = snprintf(szNew, sizeof szNew, "%s%s", szFile, kMapNewSuffix);
  if (iLen < 0 || static_cast<size_t>(iLen) >= sizeof szNew) {
    SetWhy(szWhy, iWhySize, "the map's name is too long");
    return false;
  }
  FILE *pFile = fopen(szNew, "wb");
  if (pFile == nullptr) {
    SetWhy(szWhy, iWhySize, "%s cannot be created: %s", szNew, strerror(errno));
    return false;
  }
  bool bWritten = WriteRescueMap(pMap, iCurrentPos, cCurrentStatus, szCommandLine, pRun, pFile);
  bWritten = fflush(pFile) == 0 && bWritten;
  bWritten = fclose(pFile) == 0 && bWritten;
  if (!bWritten) {
    SetWhy(szWhy, iWhySize, "%s cannot be written whole", szNew);
    remove(szNew);
    return false;
  }
  if (!ReplaceFileWith(szNew, szFile)) {
    char szReason[160];
    DescribeLastError(szReason, sizeof szReason);
    SetWhy(szWhy, iWhySize, "%s cannot take the place of %s: %s", szNew, szFile, szReason);
    remove(szNew);
    return false;
  }
  return true;
}
