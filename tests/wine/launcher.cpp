// launcher.cpp - test helper for the Windows build under wine: starts the
// program with the console as its keyboard and types keys into that console.
//
// A wine console program run from a Unix pipe or terminal does not see keys
// through _kbhit, so the end-to-end suite cannot simply write to its stdin.
// This launcher opens the console's input buffer, hands it to the program as
// its standard input, and turns key tokens read from its own standard input
// (a pipe from the suite) into key-down and key-up records in that buffer.
//
//   launcher.exe <program> [arguments...]
//
// Tokens, one per line:
//   c <code>    a plain key: the character with that decimal code
//   esc         Esc
//   ctrlc       Ctrl+C (the character 3, with Ctrl held)
//   up          the Up arrow (no character)
//   ctrlright   Ctrl+Right (no character)
//   start       creates the program; keys given before it are typed ahead
// The launcher exits with the program's exit code.
#include "platform/win32/windows_api.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

HANDLE hConsoleIn = INVALID_HANDLE_VALUE;
HANDLE hChild = NULL;

struct KeyRec {
  WCHAR cChar;
  WORD iVirtualKey;
  WORD iScanCode;
  DWORD iControlKeys;
};

void Fail(const char *szWhat) {
  fprintf(stderr, "launcher: %s failed (error %lu)\n", szWhat,
          static_cast<unsigned long>(GetLastError()));
  fflush(stderr);
  ExitProcess(125);
}

// Both halves of a key stroke: wine's _kbhit looks only at key-down records
// that have another record after them, and a real keyboard sends both anyway.
void InjectKey(const KeyRec &oKey) {
  INPUT_RECORD aRec[2];
  memset(aRec, 0, sizeof aRec);
  for (int i = 0; i < 2; ++i) {
    aRec[i].EventType = KEY_EVENT;
    KEY_EVENT_RECORD &oEvent = aRec[i].Event.KeyEvent;
    oEvent.bKeyDown = i == 0 ? TRUE : FALSE;
    oEvent.wRepeatCount = 1;
    oEvent.wVirtualKeyCode = oKey.iVirtualKey;
    oEvent.wVirtualScanCode = oKey.iScanCode;
    oEvent.uChar.UnicodeChar = oKey.cChar;
    oEvent.dwControlKeyState = oKey.iControlKeys;
  }
  DWORD iWritten = 0;
  if (!WriteConsoleInputW(hConsoleIn, aRec, 2, &iWritten) || iWritten != 2) {
    Fail("WriteConsoleInputW");
  }
}

// A character key as the keyboard layout produces it: wine's _getch builds
// the two-value form of keys without a character from the scan code, so the
// codes are filled in as a real key stroke would have them.
KeyRec CharKey(unsigned iCode) {
  KeyRec oKey = {static_cast<WCHAR>(iCode), 0, 0, 0};
  SHORT iScan = VkKeyScanW(oKey.cChar);
  if (iScan != -1) {
    oKey.iVirtualKey = static_cast<WORD>(iScan & 0xFF);
    oKey.iScanCode = static_cast<WORD>(MapVirtualKeyW(oKey.iVirtualKey, MAPVK_VK_TO_VSC));
    if (iScan & 0x100) oKey.iControlKeys |= SHIFT_PRESSED;
    if (iScan & 0x200) oKey.iControlKeys |= LEFT_CTRL_PRESSED;
    if (iScan & 0x400) oKey.iControlKeys |= LEFT_ALT_PRESSED;
  }
  return oKey;
}

// Handles one token line; returns true when it was "start".
bool HandleToken(const std::string &sLine) {
  if (sLine.empty()) return false;
  if (sLine == "start") return true;
  if (sLine.compare(0, 2, "c ") == 0) {
    InjectKey(CharKey(static_cast<unsigned>(strtoul(sLine.c_str() + 2, nullptr, 10))));
  } else if (sLine == "esc") {
    InjectKey({27, VK_ESCAPE, 0x01, 0});
  } else if (sLine == "ctrlc") {
    InjectKey({3, 'C', 0x2E, LEFT_CTRL_PRESSED});
  } else if (sLine == "up") {
    InjectKey({0, VK_UP, 0x48, ENHANCED_KEY});
  } else if (sLine == "ctrlright") {
    InjectKey({0, VK_RIGHT, 0x4D, ENHANCED_KEY | LEFT_CTRL_PRESSED});
  } else {
    fprintf(stderr, "launcher: unknown token '%s'\n", sLine.c_str());
    fflush(stderr);
  }
  return false;
}

// The command line after our own name, exactly as it was given, so the
// program's arguments reach it unchanged.
LPWSTR CommandTail() {
  LPWSTR p = GetCommandLineW();
  bool bQuoted = false;
  while (*p != 0 && (bQuoted || (*p != L' ' && *p != L'\t'))) {
    if (*p == L'"') bQuoted = !bQuoted;
    ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return p;
}

void StartChild() {
  STARTUPINFOW oStart;
  memset(&oStart, 0, sizeof oStart);
  oStart.cb = sizeof oStart;
  oStart.dwFlags = STARTF_USESTDHANDLES;
  oStart.hStdInput = hConsoleIn;
  oStart.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  oStart.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION oInfo;
  memset(&oInfo, 0, sizeof oInfo);
  std::wstring sCommand = CommandTail();
  if (!CreateProcessW(NULL, &sCommand[0], NULL, NULL, TRUE, 0, NULL, NULL, &oStart, &oInfo)) {
    Fail("CreateProcessW");
  }
  CloseHandle(oInfo.hThread);
  hChild = oInfo.hProcess;
}

DWORD ChildExitCode() {
  WaitForSingleObject(hChild, INFINITE);
  DWORD iCode = 125;
  GetExitCodeProcess(hChild, &iCode);
  return iCode;
}

// The token pipe may stay open after the program has ended, so the exit does
// not wait for it: this thread ends the launcher as soon as the program ends.
DWORD WINAPI WatchChild(LPVOID) {
  ExitProcess(ChildExitCode());
  return 0;
}

}  // namespace

int main() {
  if (*CommandTail() == 0) {
    fprintf(stderr, "usage: launcher.exe <program> [arguments...]\n");
    return 2;
  }
  SECURITY_ATTRIBUTES oSa;
  oSa.nLength = sizeof oSa;
  oSa.lpSecurityDescriptor = NULL;
  oSa.bInheritHandle = TRUE;
  // Wine gives a console to a program started from Unix only when one of
  // its standard streams is a terminal: the suite makes standard error one.
  hConsoleIn = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, &oSa, OPEN_EXISTING, 0, NULL);
  if (hConsoleIn == INVALID_HANDLE_VALUE) Fail("opening CONIN$ (no console?)");

  HANDLE hTokens = GetStdHandle(STD_INPUT_HANDLE);
  std::string sLine;
  char aBuf[256];
  for (;;) {
    DWORD iRead = 0;
    if (!ReadFile(hTokens, aBuf, sizeof aBuf, &iRead, NULL) || iRead == 0) break;
    for (DWORD i = 0; i < iRead; ++i) {
      if (aBuf[i] == '\r') continue;
      if (aBuf[i] != '\n') {
        sLine.push_back(aBuf[i]);
        continue;
      }
      if (HandleToken(sLine) && hChild == NULL) {
        StartChild();
        if (CreateThread(NULL, 0, WatchChild, NULL, 0, NULL) == NULL) Fail("CreateThread");
      }
      sLine.clear();
    }
  }
  // No more tokens: the program still runs to its end (it may not need keys).
  if (hChild == NULL) StartChild();
  ExitProcess(ChildExitCode());
}
