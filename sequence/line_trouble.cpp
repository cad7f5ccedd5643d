// line_trouble.cpp - receive errors between two readings of the port's counters.
#include "sequence/line_trouble.h"

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
