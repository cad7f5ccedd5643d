// print.cpp - formats a message and hands it to the console in one write.
#include "core/print.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "platform/platform.h"

namespace {

// The cursor stands at the end of a progress line (it ended in a carriage
// return): the next message must first end that line.
std::atomic<bool> bProgressUnfinished{false};

VEXLOR_PRINTF_LIKE(2, 0) void PrintV(bool bProgress, const char *szFormat, va_list oArgs) {
  // Almost every message fits the stack buffer; a report line carrying a long
  // port name gets a heap buffer of its exact size instead of being cut.
  char oBuf[512];
  size_t iLead = 0;
  if (bProgressUnfinished.exchange(bProgress) && !bProgress) oBuf[iLead++] = '\n';
  va_list oCopy;
  va_copy(oCopy, oArgs);
  int iLen = vsnprintf(oBuf + iLead, sizeof oBuf - iLead, szFormat, oArgs);
  if (iLen < 0) {
    va_end(oCopy);
    return;
  }
  size_t iAll = iLead + static_cast<size_t>(iLen);
  if (iAll < sizeof oBuf) {
    va_end(oCopy);
    WriteOutput(oBuf, iAll);
    return;
  }
  char *pBig = static_cast<char *>(malloc(iAll + 1));
  if (pBig == nullptr) {
    va_end(oCopy);
    WriteOutput(oBuf, sizeof oBuf - 1);  // better a cut message than none
    return;
  }
  memcpy(pBig, oBuf, iLead);
  vsnprintf(pBig + iLead, static_cast<size_t>(iLen) + 1, szFormat, oCopy);
  va_end(oCopy);
  WriteOutput(pBig, iAll);
  free(pBig);
}

}  // namespace

void Print(const char *szFormat, ...) {
  va_list oArgs;
  va_start(oArgs, szFormat);
  PrintV(false, szFormat, oArgs);
  va_end(oArgs);
}

void PrintProgress(const char *szFormat, ...) {
  va_list oArgs;
  va_start(oArgs, szFormat);
  PrintV(true, szFormat, oArgs);
  va_end(oArgs);
}

void ForgetProgressLine() { bProgressUnfinished.store(false); }
