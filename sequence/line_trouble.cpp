// line_trouble.cpp - the rule for second readings.
#include "sequence/line_trouble.h"

bool ReadBlockTwice(const LineTrouble *pTrouble) {
  uint64_t n = pTrouble->iBlock;
  if (pTrouble->bDoubtAtStart && n < kDoubtBlocks) return true;
  if (pTrouble->iTroubles >= 1 && n - pTrouble->aTroubleAt[0] <= kDoubtBlocks) return true;
  return pTrouble->iTroubles >= 2 && n - pTrouble->aTroubleAt[1] <= kTroubleWindow;
}

void NoteLineTrouble(LineTrouble *pTrouble) {
  if (pTrouble->iTroubles > 0 && pTrouble->aTroubleAt[0] == pTrouble->iBlock) return;
  pTrouble->aTroubleAt[1] = pTrouble->aTroubleAt[0];
  pTrouble->aTroubleAt[0] = pTrouble->iBlock;
  if (pTrouble->iTroubles < 2) ++pTrouble->iTroubles;
}

void NoteBlockRead(LineTrouble *pTrouble) { ++pTrouble->iBlock; }

uint64_t LineErrorsBetween(const PortErrorCounts &oBefore, const PortErrorCounts &oAfter) {
  // Counters that went down were reset under us (a port opened again): what
  // they count now is new.
  auto New = [](uint64_t iBefore, uint64_t iAfter) {
    return iAfter >= iBefore ? iAfter - iBefore : iAfter;
  };
  return New(oBefore.iFrame, oAfter.iFrame) + New(oBefore.iOverrun, oAfter.iOverrun) +
         New(oBefore.iParity, oAfter.iParity) + New(oBefore.iBreak, oAfter.iBreak) +
         New(oBefore.iBufferOverrun, oAfter.iBufferOverrun);
}
