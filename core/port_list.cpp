// port_list.cpp - the lines of --list.
#include "core/port_list.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "core/print.h"

namespace {

// More serial ports than this on one computer would be a lab rack; the rest
// are left out rather than the list failing.
const size_t kMaxListedPorts = 64;

const char kNoPorts[] = "No serial ports found. \n";

// Appends to szLine, keeping what fits.
void Append(char *szLine, size_t iSize, const char *szFormat, ...) VEXLOR_PRINTF_LIKE(3, 4);
void Append(char *szLine, size_t iSize, const char *szFormat, ...) {
  size_t iLen = strlen(szLine);
  if (iLen + 1 >= iSize) return;
  va_list oArgs;
  va_start(oArgs, szFormat);
  vsnprintf(szLine + iLen, iSize - iLen, szFormat, oArgs);
  va_end(oArgs);
}

}  // namespace

void FormatPortLine(const SerialPortInfo &oPort, char *szLine, size_t iSize) {
  if (iSize == 0) return;
  // The name comes first and alone, so that it can be copied to the command
  // line; each known fact follows after two blanks.
  snprintf(szLine, iSize, "%s", oPort.szName);
  if (oPort.szStableName[0] != 0) Append(szLine, iSize, "  (%s)", oPort.szStableName);
  if (oPort.bUsb) {
    Append(szLine, iSize, "  %04x:%04x", static_cast<unsigned>(oPort.iVendorId),
           static_cast<unsigned>(oPort.iProductId));
    if (oPort.szDescription[0] != 0) Append(szLine, iSize, " %s", oPort.szDescription);
  } else if (oPort.szDescription[0] != 0) {
    Append(szLine, iSize, "  %s", oPort.szDescription);
  }
  if (oPort.szDriver[0] != 0) Append(szLine, iSize, "  driver %s", oPort.szDriver);
  if (oPort.iLatencyTimerMs >= 0) {
    Append(szLine, iSize, "  latency timer %d ms", static_cast<int>(oPort.iLatencyTimerMs));
  }
}

void PrintPortList() {
  static SerialPortInfo aPorts[kMaxListedPorts];
  size_t iCount = ListSerialPorts(aPorts, kMaxListedPorts);
  if (iCount == 0) {
    Print("%s", kNoPorts);
    return;
  }
  for (size_t i = 0; i < iCount; ++i) {
    char szLine[512];
    FormatPortLine(aPorts[i], szLine, sizeof szLine);
    Print("%s\n", szLine);
  }
}
