// U-Boot's console as the simulated device plays it with --dialect uboot:
// md.b, crc32 and mw.b on the simulated memory, in that console's words.
// The dialogue assembles the line, prompts and applies the link's damage;
// this module runs the line and lays out its answer.
//
//   kUbootPrompt          the console's prompt; no line end follows it
//   ExecuteUbootCommand   runs one command line and appends its answer
#pragma once

#include <string>

#include "sim_dialogue.h"

extern const char kUbootPrompt[];

// Runs pDialogue->sLine and appends its answer without the prompt.
// Returns whether it was a memory display, whose answer the link damages.
bool ExecuteUbootCommand(Dialogue *pDialogue, std::string *psAnswer);
