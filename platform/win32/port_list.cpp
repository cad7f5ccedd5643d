// port_list.cpp - the COM ports of a Windows computer.
//
// SetupAPI knows each port as the Device Manager shows it: its friendly name,
// the driver's service, the hardware id with a USB adapter's ids, and the
// device's settings key with the port name and (for FTDI adapters) the
// latency timer. Ports whose driver registers no device interface still
// appear in the registry's SERIALCOMM map, which holds only their names:
// those are added from there. Nothing is opened.
#include "platform/win32/windows_api.h"

#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "platform/platform.h"

namespace {

// The device interface class of serial ports (GUID_DEVINTERFACE_COMPORT),
// spelt out so that no GUID needs defining through initguid.h.
const GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// The port's number in "COM12"; 0 when the name is no COM port.
unsigned ComNumber(const char *szPort) {
  if (_strnicmp(szPort, "COM", 3) != 0) return 0;
  char *pEnd = nullptr;
  unsigned long iNumber = strtoul(szPort + 3, &pEnd, 10);
  return *pEnd == 0 && iNumber > 0 && iNumber < 1000 ? static_cast<unsigned>(iNumber) : 0;
}

// The name the program is given for the port: from COM10 up the device
// namespace form, without which CreateFile does not find it.
void NameForPort(unsigned iNumber, char *szName, size_t iSize) {
  snprintf(szName, iSize, iNumber >= 10 ? "\\\\.\\COM%u" : "COM%u", iNumber);
}

unsigned ComNumberOfName(const char *szName) {
  return ComNumber(strncmp(szName, "\\\\.\\", 4) == 0 ? szName + 4 : szName);
}

bool IsListed(const SerialPortInfo *aPorts, size_t iCount, unsigned iNumber) {
  for (size_t i = 0; i < iCount; ++i) {
    if (ComNumberOfName(aPorts[i].szName) == iNumber) return true;
  }
  return false;
}

// A text property of the device; "" when it has none.
void ReadDeviceText(HDEVINFO hSet, SP_DEVINFO_DATA *pDev, DWORD iProperty, char *szText,
                    size_t iSize) {
  memset(szText, 0, iSize);
  SetupDiGetDeviceRegistryPropertyA(hSet, pDev, iProperty, NULL, reinterpret_cast<BYTE *>(szText),
                                    static_cast<DWORD>(iSize - 1), NULL);
}

// "VID_0403" in a hardware id such as USB\VID_0403&PID_6001 or
// FTDIBUS\COMPORT&VID_0403&PID_6001.
bool FindHexAfter(const char *szText, const char *szKey, uint16_t *pValue) {
  const char *p = strstr(szText, szKey);
  if (p == nullptr) return false;
  char *pEnd = nullptr;
  unsigned long iValue = strtoul(p + strlen(szKey), &pEnd, 16);
  if (pEnd == p + strlen(szKey)) return false;
  *pValue = static_cast<uint16_t>(iValue);
  return true;
}

// Reads the port name and the latency timer from the device's settings key;
// false when the device is no COM port (a printer port shares the class).
bool ReadDeviceSettings(HDEVINFO hSet, SP_DEVINFO_DATA *pDev, unsigned *pNumber,
                        int32_t *pLatencyMs) {
  HKEY hKey = SetupDiOpenDevRegKey(hSet, pDev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (hKey == INVALID_HANDLE_VALUE) return false;
  char szPort[32] = {};
  DWORD iType = 0;
  DWORD iLen = sizeof szPort - 1;
  if (RegQueryValueExA(hKey, "PortName", NULL, &iType, reinterpret_cast<BYTE *>(szPort), &iLen) ==
          ERROR_SUCCESS &&
      iType == REG_SZ) {
    *pNumber = ComNumber(szPort);
  }
  DWORD iLatency = 0;
  iLen = sizeof iLatency;
  if (RegQueryValueExA(hKey, "LatencyTimer", NULL, &iType, reinterpret_cast<BYTE *>(&iLatency),
                       &iLen) == ERROR_SUCCESS &&
      iType == REG_DWORD) {
    *pLatencyMs = static_cast<int32_t>(iLatency);
  }
  RegCloseKey(hKey);
  return *pNumber != 0;
}

size_t ListFromSetupApi(SerialPortInfo *aPorts, size_t iMax) {
  HDEVINFO hSet =
      SetupDiGetClassDevsA(&kComPortInterface, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (hSet == INVALID_HANDLE_VALUE) return 0;
  size_t iCount = 0;
  SP_DEVINFO_DATA oDev;
  oDev.cbSize = sizeof oDev;
  for (DWORD i = 0; iCount < iMax && SetupDiEnumDeviceInfo(hSet, i, &oDev); ++i) {
    unsigned iNumber = 0;
    int32_t iLatencyMs = -1;
    if (!ReadDeviceSettings(hSet, &oDev, &iNumber, &iLatencyMs)) continue;
    if (IsListed(aPorts, iCount, iNumber)) continue;
    SerialPortInfo &oPort = aPorts[iCount++];
    oPort = SerialPortInfo{};
    oPort.iLatencyTimerMs = iLatencyMs;
    NameForPort(iNumber, oPort.szName, sizeof oPort.szName);
    ReadDeviceText(hSet, &oDev, SPDRP_FRIENDLYNAME, oPort.szDescription,
                   sizeof oPort.szDescription);
    ReadDeviceText(hSet, &oDev, SPDRP_SERVICE, oPort.szDriver, sizeof oPort.szDriver);
    // The first of the hardware ids is the most specific; it carries the ids.
    char szHardwareId[256];
    ReadDeviceText(hSet, &oDev, SPDRP_HARDWAREID, szHardwareId, sizeof szHardwareId);
    oPort.bUsb = FindHexAfter(szHardwareId, "VID_", &oPort.iVendorId) &&
                 FindHexAfter(szHardwareId, "PID_", &oPort.iProductId);
  }
  SetupDiDestroyDeviceInfoList(hSet);
  return iCount;
}

size_t AddFromDeviceMap(SerialPortInfo *aPorts, size_t iCount, size_t iMax) {
  HKEY hKey;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &hKey) !=
      ERROR_SUCCESS) {
    return iCount;
  }
  for (DWORD i = 0; iCount < iMax; ++i) {
    char szValueName[256];
    DWORD iNameLen = sizeof szValueName;
    char szPort[32] = {};
    DWORD iDataLen = sizeof szPort - 1;
    DWORD iType = 0;
    LONG iResult = RegEnumValueA(hKey, i, szValueName, &iNameLen, NULL, &iType,
                                 reinterpret_cast<BYTE *>(szPort), &iDataLen);
    if (iResult == ERROR_NO_MORE_ITEMS) break;
    if (iResult != ERROR_SUCCESS || iType != REG_SZ) continue;
    unsigned iNumber = ComNumber(szPort);
    if (iNumber == 0 || IsListed(aPorts, iCount, iNumber)) continue;
    SerialPortInfo &oPort = aPorts[iCount++];
    oPort = SerialPortInfo{};
    oPort.iLatencyTimerMs = -1;
    NameForPort(iNumber, oPort.szName, sizeof oPort.szName);
  }
  RegCloseKey(hKey);
  return iCount;
}

}  // namespace

size_t ListSerialPorts(SerialPortInfo *aPorts, size_t iMax) {
  size_t iCount = ListFromSetupApi(aPorts, iMax);
  iCount = AddFromDeviceMap(aPorts, iCount, iMax);
  std::sort(aPorts, aPorts + iCount, [](const SerialPortInfo &a, const SerialPortInfo &b) {
    return ComNumberOfName(a.szName) < ComNumberOfName(b.szName);
  });
  return iCount;
}
