// device_checksum.cpp - the device's checksum of a block, asked and compared.
#include "sequence/device_checksum.h"

#include <stdio.h>
#include <string.h>

#include "dialogue/device_dialogue.h"
#include "core/print.h"
#include "core/session_log.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "sequence/block_request.h"
#include "sequence/command_handoff.h"

namespace {

// The device said that it has no checksum command (control thread).
bool bDeviceHasNone = false;

// The checksum command's own name: the first word, or after a shell's last
// pipe ("dd ... | crc32").
int ChecksumNameAt(const char *szCommand, const char **pszName) {
  const char *pPipe = strrchr(szCommand, '|');
  *pszName = pPipe == nullptr ? szCommand : pPipe + 1 + strspn(pPipe + 1, " ");
  return static_cast<int>(strcspn(*pszName, " \r\n"));
}

}  // namespace

bool DeviceChecksumsAsked() {
  return CurrentDialect()->szChecksumFormat != nullptr && Settings.bNoChecksum == 0 &&
         !bDeviceHasNone;
}

void ForgetDeviceChecksums() { bDeviceHasNone = false; }

void NoteDeviceHasNoChecksum(const char *szCommand) {
  // A U-Boot built without crc32. Asking on would fail every block; the
  // blocks are checked as for a monitor without checksums instead, each
  // verified by two readings that agree.
  bDeviceHasNone = true;
  const char *szName = nullptr;
  int iWordLen = ChecksumNameAt(szCommand, &szName);
  Print(
      "The device has no %.*s command: blocks are checked without its checksums (each "
      "verified by two readings that agree). \n",
      iWordLen, szName);
  LogEvent("the device has no %.*s command: checksums no longer asked for", iWordLen, szName);
}

bool ConfirmBlockByChecksum(uint32_t iAddr, const uint8_t *pBytes, char *szWhy, size_t iWhySize) {
  char oCmdForExecute[kTextSize];
  if (!DeviceChecksumsAsked() || !ComposeChecksumCommand(iAddr, oCmdForExecute)) return true;
  // The answer is collected like a dump's lines, so that it is the answer to
  // this command, complete at its prompt, and not a line from before.
  uint32_t iGen = AskForCollection();
  int iNameLen = static_cast<int>(strcspn(oCmdForExecute, "\r\n"));
  if (PostCommandTimed(oCmdForExecute, MonitorPrompt(), CommandTimeoutMs()) != kHandoffAnswered) {
    snprintf(szWhy, iWhySize, "no prompt after %.*s", iNameLen, oCmdForExecute);
    return false;
  }
  const BlockLines *pLines = CollectedLines(iGen);
  if (pLines == nullptr) {
    snprintf(szWhy, iWhySize, "the checksum's answer did not arrive before its prompt");
    return false;
  }
  if (IsNoSuchCommandAnswer(pLines->szAnswer, oCmdForExecute)) {
    NoteDeviceHasNoChecksum(oCmdForExecute);
    return true;
  }
  ChecksumValue oDevice = {};
  if (!ParseChecksumAnswer(pLines->szAnswer, iAddr, &oDevice)) {
    snprintf(szWhy, iWhySize, "%.*s gave no checksum of the block (\"%.60s\")", iNameLen,
             oCmdForExecute, pLines->szAnswer);
    return false;
  }
  char szDevice[kChecksumDigitsSize], szOurs[kChecksumDigitsSize];
  if (ChecksumsDiffer(oDevice, BlockChecksum(pBytes, kBlockBytes), true, szDevice, szOurs)) {
    snprintf(szWhy, iWhySize, "the device's checksum %s differs from the block's %s", szDevice,
             szOurs);
    return false;
  }
  return true;
}
