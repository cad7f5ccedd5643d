// Listing the serial ports from a sysfs tree built in a temporary folder: a
// USB adapter with a latency timer and a stable name, a modem-class device,
// and the ports that are no serial port at all (left out). The lines of
// --list are checked on the same records.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "../common/files.h"
#include "core/port_list.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

void MakeDirs(const std::string &sPath) {
  for (size_t i = 1; i <= sPath.size(); ++i) {
    if (i == sPath.size() || sPath[i] == '/') mkdir(sPath.substr(0, i).c_str(), 0755);
  }
}

void Link(const std::string &sTarget, const std::string &sLink) {
  ASSERT_EQ(symlink(sTarget.c_str(), sLink.c_str()), 0) << sLink;
}

// A tty in class/tty whose device is sDevice (none: a virtual terminal).
void AddTty(const std::string &sSys, const std::string &sTty, const std::string &sDevice) {
  MakeDirs(sSys + "/class/tty/" + sTty);
  if (!sDevice.empty()) Link(sDevice, sSys + "/class/tty/" + sTty + "/device");
}

std::string LineOf(const SerialPortInfo &oPort) {
  char szLine[512];
  FormatPortLine(oPort, szLine, sizeof szLine);
  return szLine;
}

TEST(PortList, SysfsTreeGivesTheAdaptersAndLeavesOutPortsWithoutHardware) {
  std::string sRoot = MakeTempDir("ports");
  std::string sSys = sRoot + "/sys";
  std::string sDev = sRoot + "/dev";
  std::string sUsb = sSys + "/devices/pci0000:00/usb1";
  std::string sDrivers = sSys + "/bus/usb/drivers";
  MakeDirs(sDrivers + "/ftdi_sio");
  MakeDirs(sDrivers + "/cdc_acm");
  MakeDirs(sSys + "/bus/platform/drivers/serial8250");

  // An FTDI adapter: USB device, interface, usb-serial port with the timer.
  std::string sFtdi = sUsb + "/1-1";
  std::string sFtdiPort = sFtdi + "/1-1:1.0/ttyUSB0";
  MakeDirs(sFtdiPort);
  WriteFileBytes(sFtdi + "/idVendor", "0403\n");
  WriteFileBytes(sFtdi + "/idProduct", "6001\n");
  WriteFileBytes(sFtdi + "/manufacturer", "FTDI\n");
  WriteFileBytes(sFtdi + "/product", "FT232R USB UART\n");
  WriteFileBytes(sFtdiPort + "/latency_timer", "16\n");
  Link(sDrivers + "/ftdi_sio", sFtdiPort + "/driver");
  AddTty(sSys, "ttyUSB0", sFtdiPort);

  // A modem-class device: the interface is the tty's device.
  std::string sAcm = sUsb + "/1-2";
  MakeDirs(sAcm + "/1-2:1.0");
  WriteFileBytes(sAcm + "/idVendor", "2341\n");
  WriteFileBytes(sAcm + "/idProduct", "0043\n");
  WriteFileBytes(sAcm + "/product", "Uno\n");
  Link(sDrivers + "/cdc_acm", sAcm + "/1-2:1.0/driver");
  AddTty(sSys, "ttyACM0", sAcm + "/1-2:1.0");

  // A legacy port the 8250 driver made without a UART, and a console.
  std::string sLegacy = sSys + "/devices/platform/serial8250";
  MakeDirs(sLegacy);
  Link(sSys + "/bus/platform/drivers/serial8250", sLegacy + "/driver");
  AddTty(sSys, "ttyS3", sLegacy);
  WriteFileBytes(sSys + "/class/tty/ttyS3/type", "0\n");
  AddTty(sSys, "tty1", "");

  MakeDirs(sDev + "/serial/by-id");
  WriteFileBytes(sDev + "/ttyUSB0", "");
  WriteFileBytes(sDev + "/ttyACM0", "");
  std::string sById = sDev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  Link("../../ttyUSB0", sById);

  SerialPortInfo aPorts[8];
  ASSERT_EQ(ListSerialPortsUnder(sSys.c_str(), sDev.c_str(), aPorts, 8), 2u);
  EXPECT_EQ(LineOf(aPorts[0]), sDev + "/ttyACM0  2341:0043 Uno  driver cdc_acm");
  EXPECT_EQ(LineOf(aPorts[1]), sDev + "/ttyUSB0  (" + sById +
                                   ")  0403:6001 FTDI FT232R USB UART  driver ftdi_sio  latency "
                                   "timer 16 ms");
  // No room: nothing is written past the records given.
  EXPECT_EQ(ListSerialPortsUnder(sSys.c_str(), sDev.c_str(), aPorts, 1), 1u);
  EXPECT_EQ(ListSerialPortsUnder((sRoot + "/none").c_str(), sDev.c_str(), aPorts, 8), 0u);
}

}  // namespace
