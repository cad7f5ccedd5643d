// U-Boot's console as the simulated device plays it with --dialect uboot:
// md.b, crc32 and mw.b on the simulated memory, in that console's words.
// The dialogue assembles the line, prompts and applies the link's damage;
// this module runs the line and lays out its answer.
//
//   kUbootPrompt          the console's prompt; no line end follows it
//   ExecuteUbootCommand   runs one command line and appends its answer
//   UbootTakesByte        a received byte that the line's rate or a
//                         baud-rate switch takes before the command line
#pragma once

#include <string>

#include "sim_dialogue.h"

extern const char kUbootPrompt[];

// Runs pDialogue->sLine and appends its answer without the prompt.
// Returns whether it was a memory display, whose answer the link damages.
bool ExecuteUbootCommand(Dialogue *pDialogue, std::string *psAnswer);

// Passes a byte that reached the board through the line's rate (garbled,
// bGarbled, when the client's rate was not the board's) and the switch of rate (the
// board discards all but ENTER, and prompts after it).  Returns true when
// the byte is used up; else *piByte goes on to the command line.
bool UbootTakesByte(Dialogue *pDialogue, bool bGarbled, uint8_t *piByte);
