// print.cpp - formats a message and hands it to the console in one write.
#include "core/print.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "platform/platform.h"

void Print(const char *szFormat, ...) {
  // Almost every message fits the stack buffer; a report line carrying a long
  // port name gets a heap buffer of its exact size instead of being cut.
  char oBuf[512];
  va_list oArgs;
  va_start(oArgs, szFormat);
  int iLen = vsnprintf(oBuf, sizeof oBuf, szFormat, oArgs);
  va_end(oArgs);
  if (iLen < 0) return;
  if (static_cast<size_t>(iLen) < sizeof oBuf) {
    WriteOutput(oBuf, static_cast<size_t>(iLen));
    return;
  }
  char *pBig = static_cast<char *>(malloc(static_cast<size_t>(iLen) + 1));
  if (pBig == nullptr) {
    WriteOutput(oBuf, sizeof oBuf - 1);  // better a cut message than none
    return;
  }
  va_start(oArgs, szFormat);
  vsnprintf(pBig, static_cast<size_t>(iLen) + 1, szFormat, oArgs);
  va_end(oArgs);
  WriteOutput(pBig, static_cast<size_t>(iLen));
  free(pBig);
}
