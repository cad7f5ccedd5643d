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

uint32_t Crc32(const uint8_t *pBytes, size_t iCount) {
  uint32_t iCrc = 0xFFFFFFFFu;
  for (size_t i = 0; i < iCount; ++i) {
    iCrc ^= pBytes[i];
    for (int iBit = 0; iBit < 8; ++iBit) iCrc = (iCrc >> 1) ^ (0xEDB88320u & (0u - (iCrc & 1u)));
  }
  return ~iCrc;
}

bool DeviceChecksumsAsked() {
  return CurrentDialect()->szChecksumFormat != nullptr && Settings.bNoChecksum == 0;
}

void NoteDeviceHasNoChecksum(const char *szCommand) {
  // A U-Boot built without crc32. Asking on would fail every block; the
  // blocks are checked as for a monitor without checksums instead, each
  // verified by two readings that agree.
  FillSettings().bNoChecksum = 1;
  int iWordLen = static_cast<int>(strcspn(szCommand, " \r\n"));
  Print(
      "The device has no %.*s command: blocks are checked without its checksums (each "
      "verified by two readings that agree). \n",
      iWordLen, szCommand);
  LogEvent("the device has no %.*s command: checksums no longer asked for", iWordLen, szCommand);
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
  uint32_t iDevice = 0;
  if (!ParseChecksumAnswer(pLines->szAnswer, iAddr, &iDevice)) {
    snprintf(szWhy, iWhySize, "%.*s gave no checksum of the block (\"%.60s\")", iNameLen,
             oCmdForExecute, pLines->szAnswer);
    return false;
  }
  uint32_t iOurs = Crc32(pBytes, kBlockBytes);
  if (iDevice != iOurs) {
    snprintf(szWhy, iWhySize, "the device's checksum %.8X differs from the block's %.8X", iDevice,
             iOurs);
    return false;
  }
  return true;
}
