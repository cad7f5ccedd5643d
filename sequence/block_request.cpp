// block_request.cpp - the counters and texts of a checked block's hand-over.
#include "sequence/block_request.h"

#include <stdio.h>
#include <string.h>

#include <atomic>

namespace {

std::atomic<uint32_t> iRequested{0};  // control thread: the newest request
std::atomic<uint32_t> iPublished{0};  // main thread: the request oReady answers
BlockLines oReady = {};
std::atomic<uint32_t> iFaulted{0};  // main thread: the request szFaultLine belongs to
char szFaultLine[kBlockLineChars] = "";
char szFaultEcho[kBlockLineChars] = "";

}  // namespace

uint32_t AskForCollection() {
  uint32_t iGen = iRequested.load(std::memory_order_relaxed) + 1;
  iRequested.store(iGen, std::memory_order_release);
  return iGen;
}

const BlockLines *CollectedLines(uint32_t iGen) {
  return iPublished.load(std::memory_order_acquire) == iGen ? &oReady : nullptr;
}

bool CollectionFault(uint32_t iGen, const char **pszLine, const char **pszEcho) {
  if (iFaulted.load(std::memory_order_acquire) != iGen) return false;
  *pszLine = szFaultLine;
  *pszEcho = szFaultEcho;
  return true;
}

bool TakeCollectionRequest(uint32_t iLastOpened, uint32_t *piGen) {
  uint32_t iGen = iRequested.load(std::memory_order_acquire);
  if (iGen == iLastOpened) return false;
  *piGen = iGen;
  return true;
}

void PublishCollection(uint32_t iGen, const BlockLines &oLines) {
  uint32_t iKept = oLines.iLines;
  if (iKept > kBlockLinesKept) iKept = kBlockLinesKept;
  oReady.iLines = oLines.iLines;
  oReady.iOthers = oLines.iOthers;
  memcpy(oReady.aszOther, oLines.aszOther, sizeof oReady.aszOther);
  memcpy(oReady.aszLine, oLines.aszLine, iKept * sizeof oReady.aszLine[0]);
  memcpy(oReady.szAnswer, oLines.szAnswer, sizeof oReady.szAnswer);
  oReady.iTextChars = oLines.iTextChars;
  memcpy(oReady.aText, oLines.aText,
         oLines.iTextChars < kOtherTextChars ? oLines.iTextChars : uint32_t{kOtherTextChars});
  iPublished.store(iGen, std::memory_order_release);
}

bool PublishFault(uint32_t iGen, const char *szLine, const char *szEcho) {
  if (iFaulted.load(std::memory_order_relaxed) == iGen) return false;
  snprintf(szFaultLine, sizeof szFaultLine, "%s", szLine);
  snprintf(szFaultEcho, sizeof szFaultEcho, "%s", szEcho);
  iFaulted.store(iGen, std::memory_order_release);
  return true;
}
