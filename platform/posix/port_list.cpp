// port_list.cpp - the serial ports of a Linux computer, as sysfs describes them.
//
// Every tty with a device behind it in /sys/class/tty is a candidate; the
// virtual ones (consoles, pseudo-terminals) have none. The legacy ttyS ports
// that the 8250 driver creates whether or not a UART answers are left out when
// sysfs says their type is unknown; only a legacy port without that word is
// asked through its device. Nothing else is opened: listing must not raise the
// modem lines of a device someone is using.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

// How far up from a tty's device its USB device may sit (interface, then the
// device; ttyUSB has one more level, the usb-serial port), and the UART's
// device behind the serial core's own.
const int kMaxLevelsUp = 4;

// The first line of a small sysfs file, without its line end; false when the
// file cannot be read.
bool ReadLine(const char *szPath, char *szLine, size_t iSize) {
  int iFd = open(szPath, O_RDONLY | O_CLOEXEC);
  if (iFd < 0) return false;
  ssize_t iCount = read(iFd, szLine, iSize - 1);
  close(iFd);
  if (iCount < 0) return false;
  szLine[iCount] = 0;
  szLine[strcspn(szLine, "\r\n")] = 0;
  return true;
}

bool ReadNumber(const char *szPath, int iBase, long *pValue) {
  char szLine[32];
  if (!ReadLine(szPath, szLine, sizeof szLine) || szLine[0] == 0) return false;
  char *pEnd = nullptr;
  *pValue = strtol(szLine, &pEnd, iBase);
  return *pEnd == 0;
}

// "szDir/szName" into szPath; false when it does not fit (nothing sysfs or
// /dev holds comes near PATH_MAX, so such a path is passed over).
bool JoinPath(char *szPath, size_t iSize, const char *szDir, const char *szName) {
  size_t iDir = strlen(szDir);
  size_t iName = strlen(szName);
  if (iDir + 1 + iName >= iSize) {
    szPath[0] = 0;
    return false;
  }
  memmove(szPath, szDir, iDir);
  szPath[iDir] = '/';
  memcpy(szPath + iDir + 1, szName, iName + 1);
  return true;
}

// Copies as much of szText as fits.
void CopyText(char *szTo, size_t iSize, const char *szText) {
  size_t iLen = strnlen(szText, iSize - 1);
  memcpy(szTo, szText, iLen);
  szTo[iLen] = 0;
}

// The last part of a path or of a link's target.
const char *BaseName(const char *szPath) {
  const char *pSlash = strrchr(szPath, '/');
  return pSlash != nullptr ? pSlash + 1 : szPath;
}

// The driver of the tty's device: the basename of its driver link. Newer
// kernels put the serial core's own port and controller devices between the
// tty and the UART (their drivers are "port" and "ctrl" on the serial-base
// bus); those are passed over for the device that has the UART's driver.
void FindDriver(const char *szDeviceDir, char *szDriver, size_t iSize) {
  char szDir[PATH_MAX];
  if (realpath(szDeviceDir, szDir) == nullptr) return;
  for (int iLevel = 0; iLevel < kMaxLevelsUp; ++iLevel) {
    char szPath[PATH_MAX];
    char szTarget[PATH_MAX];
    if (!JoinPath(szPath, sizeof szPath, szDir, "driver")) return;
    ssize_t iLen = readlink(szPath, szTarget, sizeof szTarget - 1);
    if (iLen <= 0) return;
    szTarget[iLen] = 0;
    if (strstr(szTarget, "/serial-base/") == nullptr) {
      CopyText(szDriver, iSize, BaseName(szTarget));
      return;
    }
    char *pSlash = strrchr(szDir, '/');
    if (pSlash == nullptr || pSlash == szDir) return;
    *pSlash = 0;
  }
}

// A legacy port whose UART the 8250 driver did not find: sysfs's type file
// says 0 (unknown). Where the file is missing, the driver is asked.
bool IsPortWithoutHardware(const char *szTtyDir, const char *szDriver, const char *szDevice) {
  char szPath[PATH_MAX];
  long iType = 0;
  if (JoinPath(szPath, sizeof szPath, szTtyDir, "type") && ReadNumber(szPath, 10, &iType)) {
    return iType == PORT_UNKNOWN;
  }
  if (strcmp(szDriver, "serial8250") != 0) return false;
  int iFd = open(szDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (iFd < 0) return false;
  serial_struct oSerial;
  bool bUnknown = ioctl(iFd, TIOCGSERIAL, &oSerial) == 0 && oSerial.type == PORT_UNKNOWN;
  close(iFd);
  return bUnknown;
}

// The link in /dev/serial/by-id that leads to szDevice, if one does.
void FindStableName(const char *szDevRoot, const char *szDevice, char *szStable, size_t iSize) {
  char szReal[PATH_MAX];
  if (realpath(szDevice, szReal) == nullptr) return;
  char szDir[PATH_MAX];
  if (!JoinPath(szDir, sizeof szDir, szDevRoot, "serial/by-id")) return;
  DIR *pDir = opendir(szDir);
  if (pDir == nullptr) return;
  while (dirent *pEntry = readdir(pDir)) {
    if (pEntry->d_name[0] == '.') continue;
    char szLink[PATH_MAX];
    char szTarget[PATH_MAX];
    if (!JoinPath(szLink, sizeof szLink, szDir, pEntry->d_name)) continue;
    if (realpath(szLink, szTarget) != nullptr && strcmp(szTarget, szReal) == 0) {
      if (JoinPath(szStable, iSize, szDir, pEntry->d_name)) break;
      szStable[0] = 0;  // a name cut short would be no name at all
    }
  }
  closedir(pDir);
}

// Walks up from the tty's device to the USB device, the first folder that
// holds idVendor, and takes its ids and strings.
void ReadUsbDevice(const char *szDeviceDir, SerialPortInfo *pInfo) {
  char szDir[PATH_MAX];
  if (realpath(szDeviceDir, szDir) == nullptr) return;
  for (int iLevel = 0; iLevel <= kMaxLevelsUp; ++iLevel) {
    char szPath[PATH_MAX + 16];
    long iVendor = 0;
    long iProduct = 0;
    JoinPath(szPath, sizeof szPath, szDir, "idVendor");
    if (ReadNumber(szPath, 16, &iVendor)) {
      JoinPath(szPath, sizeof szPath, szDir, "idProduct");
      ReadNumber(szPath, 16, &iProduct);
      pInfo->bUsb = true;
      pInfo->iVendorId = static_cast<uint16_t>(iVendor);
      pInfo->iProductId = static_cast<uint16_t>(iProduct);
      char szMaker[64] = "";
      char szProduct[64] = "";
      JoinPath(szPath, sizeof szPath, szDir, "manufacturer");
      ReadLine(szPath, szMaker, sizeof szMaker);
      JoinPath(szPath, sizeof szPath, szDir, "product");
      ReadLine(szPath, szProduct, sizeof szProduct);
      int iLen = snprintf(pInfo->szDescription, sizeof pInfo->szDescription, "%s%s%s", szMaker,
                          szMaker[0] != 0 && szProduct[0] != 0 ? " " : "", szProduct);
      (void)iLen;  // both strings are short enough to fit
      return;
    }
    char *pSlash = strrchr(szDir, '/');
    if (pSlash == nullptr || pSlash == szDir) return;
    *pSlash = 0;
  }
}

// Fills pInfo for the tty named szTty; false when it is no serial port.
bool DescribeTty(const char *szSysRoot, const char *szDevRoot, const char *szTty,
                 SerialPortInfo *pInfo) {
  char szClass[PATH_MAX];
  char szTtyDir[PATH_MAX];
  char szDeviceDir[PATH_MAX];
  if (!JoinPath(szClass, sizeof szClass, szSysRoot, "class/tty") ||
      !JoinPath(szTtyDir, sizeof szTtyDir, szClass, szTty) ||
      !JoinPath(szDeviceDir, sizeof szDeviceDir, szTtyDir, "device")) {
    return false;
  }
  struct stat oStat;
  if (stat(szDeviceDir, &oStat) != 0) return false;  // a virtual terminal

  *pInfo = SerialPortInfo{};
  pInfo->iLatencyTimerMs = -1;
  if (!JoinPath(pInfo->szName, sizeof pInfo->szName, szDevRoot, szTty)) return false;
  FindDriver(szDeviceDir, pInfo->szDriver, sizeof pInfo->szDriver);
  char szPath[PATH_MAX];
  if (IsPortWithoutHardware(szTtyDir, pInfo->szDriver, pInfo->szName)) return false;

  FindStableName(szDevRoot, pInfo->szName, pInfo->szStableName, sizeof pInfo->szStableName);
  long iLatency = 0;
  if (JoinPath(szPath, sizeof szPath, szDeviceDir, "latency_timer") &&
      ReadNumber(szPath, 10, &iLatency))
    pInfo->iLatencyTimerMs = static_cast<int32_t>(iLatency);
  ReadUsbDevice(szDeviceDir, pInfo);
  return true;
}

}  // namespace

size_t ListSerialPortsUnder(const char *szSysRoot, const char *szDevRoot, SerialPortInfo *aPorts,
                            size_t iMax) {
  char szClass[PATH_MAX];
  if (!JoinPath(szClass, sizeof szClass, szSysRoot, "class/tty")) return 0;
  DIR *pDir = opendir(szClass);
  if (pDir == nullptr) return 0;
  size_t iCount = 0;
  while (dirent *pEntry = readdir(pDir)) {
    if (iCount >= iMax) break;
    if (pEntry->d_name[0] == '.') continue;
    if (DescribeTty(szSysRoot, szDevRoot, pEntry->d_name, &aPorts[iCount])) ++iCount;
  }
  closedir(pDir);
  std::sort(aPorts, aPorts + iCount, [](const SerialPortInfo &a, const SerialPortInfo &b) {
    return strcmp(a.szName, b.szName) < 0;
  });
  return iCount;
}

size_t ListSerialPorts(SerialPortInfo *aPorts, size_t iMax) {
  return ListSerialPortsUnder("/sys", "/dev", aPorts, iMax);
}
