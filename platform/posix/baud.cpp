// baud.cpp - sets any baud rate the driver accepts. On Linux the termios2
// interface takes the rate as a number (BOTHER), so non-standard rates work;
// elsewhere only the standard table is available. This file cannot include
// <termios.h>: its struct termios clashes with the kernel's.
#include "platform/posix/baud.h"

#if defined(__linux__)
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

bool SetPortBaudRate(int iFd, uint32_t iBaudRate) {
  if (iBaudRate == 0 || iBaudRate > 0x7FFFFFFF) return false;
  struct termios2 tio;
  if (ioctl(iFd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = iBaudRate;
  tio.c_ospeed = iBaudRate;
  if (ioctl(iFd, TCSETS2, &tio) != 0) return false;
  // Drivers round to what their clock can make; a rate far from the one asked
  // for would garble every character, so it counts as refused.
  if (ioctl(iFd, TCGETS2, &tio) != 0) return false;
  uint64_t iGot = tio.c_ospeed;
  uint64_t iDiff = iGot > iBaudRate ? iGot - iBaudRate : iBaudRate - iGot;
  return iDiff * 100 <= static_cast<uint64_t>(iBaudRate) * 3;
}

#else
#include <termios.h>

bool SetPortBaudRate(int iFd, uint32_t iBaudRate) {
  static const struct {
    uint32_t iRate;
    speed_t iCode;
  } aRates[] = {{50, B50},         {75, B75},        {110, B110},     {134, B134},
                {150, B150},       {200, B200},      {300, B300},     {600, B600},
                {1200, B1200},     {1800, B1800},    {2400, B2400},   {4800, B4800},
                {9600, B9600},     {19200, B19200},  {38400, B38400}, {57600, B57600},
                {115200, B115200}, {230400, B230400}};
  for (const auto &oRate : aRates) {
    if (oRate.iRate != iBaudRate) continue;
    termios tio;
    if (tcgetattr(iFd, &tio) != 0) return false;
    cfsetispeed(&tio, oRate.iCode);
    cfsetospeed(&tio, oRate.iCode);
    return tcsetattr(iFd, TCSANOW, &tio) == 0;
  }
  return false;
}
#endif
