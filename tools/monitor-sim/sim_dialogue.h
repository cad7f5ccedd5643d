// The monitor's side of the conversation: assembles received bytes into
// command lines, answers them (bank/offset/dump commands, errors, prompt),
// injects the optional line-level faults in front of dumps and the link
// faults into dump answers, and plays the monitor's resets.  The U-Boot
// dialect's commands live in sim_uboot and use the pieces below.
//
//   SetUpDialogue        binds the options, memory, output queue and faults
//   HandleReceivedByte   one byte that reached the monitor's input
//   ForgetAfterVanish    the state a device has when it comes back
//   SplitWords           a command line's blank-separated words
//   AppendAnswerLine     one line of an answer with the line end
//   AppendNamedLine      the same from a format that names a command (%s)
//   AppendFaultLines     --garbage, --zero-bytes, --long-line before a dump
//   AppendDumpLine       one dump line with the link's damage and line end
//   TouchesBadRegion     does a range reach into --bad-region?
//   AnswerBadRegion      --bad-region: the abort line for a dump that hits it
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim_faults.h"
#include "sim_memory.h"
#include "sim_options.h"
#include "sim_output.h"

struct LineRate;

struct Dialogue {
  const SimOptions *pOptions = nullptr;
  LineRate *pLineRate = nullptr;  // U-Boot's setenv baudrate; nullptr: a fixed rate
  SimMemory *pMemory = nullptr;
  OutputQueue *pOutput = nullptr;
  LinkFaults *pFaults = nullptr;
  std::string sLine;  // the line being typed
  bool bLastWasCr = false;
  uint16_t iBank = 0;
  uint16_t iOffset = 0;
  uint32_t iMdAddress = 0;  // where a bare md.b goes on
  uint32_t iMdCount = 0x40;
  uint64_t iDumpEnd = 0;  // output count once the last dump has been sent
  int64_t iLinesAnswered = 0;
  int64_t iDumpLinesSent = 0;      // names dump lines in fault reports
  uint32_t iRandom = 0x2545F491u;  // fixed seed: reproducible garbage
  bool bHangupDue = false;         // --hangup-after reached, input is ignored
  bool bVanishDue = false;         // --vanish-after reached, input is ignored
  bool bVanished = false;          // the device vanishes only once
};

void SetUpDialogue(Dialogue *pDialogue, const SimOptions &oOptions, SimMemory *pMemory,
                   OutputQueue *pOutput, LinkFaults *pFaults);

void HandleReceivedByte(Dialogue *pDialogue, uint8_t iByte);

// A device that comes back has been powered down: bank and offset are 0 and
// a half-typed line is gone.
void ForgetAfterVanish(Dialogue *pDialogue);

std::vector<std::string> SplitWords(const std::string &sLine);
void AppendAnswerLine(const Dialogue &oDialogue, const std::string &sLine, std::string *psAnswer);
// szFormat holds one %s, for sName ("Unknown command '%s' - try 'help'").
void AppendNamedLine(const Dialogue &oDialogue, const char *szFormat, const std::string &sName,
                     std::string *psAnswer);
void AppendFaultLines(Dialogue *pDialogue, std::string *psAnswer);
// sLine is the line without its line end.
// pColumns: where its hex digits stand, for a layout other than the default
// monitor's or md.b's.
void AppendDumpLine(Dialogue *pDialogue, std::string sLine, std::string *psAnswer,
                    const DigitColumns *pColumns = nullptr);
bool TouchesBadRegion(const Dialogue &oDialogue, uint32_t iStart, uint64_t iCount);
// Appends "Data abort at <iStart>" and returns true when any of the iCount
// bytes from iStart lies in --bad-region.
bool AnswerBadRegion(Dialogue *pDialogue, uint32_t iStart, uint64_t iCount, std::string *psAnswer);
