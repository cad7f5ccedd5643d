// The monitor's side of the conversation: assembles received bytes into
// command lines, answers them (bank/offset/dump commands, errors, prompt)
// and injects the optional line-level faults in front of dumps.
#pragma once

#include <cstdint>
#include <string>

#include "sim_memory.h"
#include "sim_options.h"
#include "sim_output.h"

struct Dialogue {
  const SimOptions *pOptions = nullptr;
  const SimMemory *pMemory = nullptr;
  OutputQueue *pOutput = nullptr;
  std::string sLine;  // the line being typed
  bool bLastWasCr = false;
  uint16_t iBank = 0;
  uint16_t iOffset = 0;
  int64_t iLinesAnswered = 0;
  uint32_t iRandom = 0x2545F491u;  // fixed seed: reproducible garbage
  bool bHangupDue = false;         // --hangup-after reached, input is ignored
};

void SetUpDialogue(Dialogue &oDialogue, const SimOptions &oOptions, const SimMemory &oMemory,
                   OutputQueue &oOutput);

void HandleReceivedByte(Dialogue &oDialogue, uint8_t iByte);
