// dialect_description.h - a monitor described as data: the TOML text that
// says what the program sends to a monitor and what it expects back, read
// into a MonitorDialect. The built-in monitors are such texts compiled in
// (builtin_dialects.cpp); --dialect FILE reads one from a file. Runs on the
// main thread, before the others start; writes only the store it is given.
//
//   DialectStore               a MonitorDialect and the texts it points into
//   ReadDialectDescription     a description's text into a store, or the line
//                              and the reason it is refused
//   kBuiltInDescriptions       the compiled-in descriptions, by id (builtin_dialects)
//   kBuiltInCount              how many there are
#pragma once

#include <stddef.h>

#include "dialogue/device_dialogue.h"

enum {
  kDialectNameSize = 32,
  kDialectTextSize = 128,  // a command or an answer's template
  kDialectMarkSize = 16,   // a mark in the dump line
  kFaultMarksMax = 8,
  kFaultMarkSize = 64,
};

// Not to be copied: the dialect points into the texts beside it.
struct DialectStore {
  MonitorDialect oDialect;
  char szName[kDialectNameSize];
  char szDumpWord[kDialectNameSize];
  char szBank[kDialectTextSize];
  char szLongBank[kDialectTextSize];
  char szOffset[kDialectTextSize];
  char szDump[kDialectTextSize];
  char szPrompt[kDialectTextSize];
  char szAskPrompt[kDialectTextSize];
  char szFarewell[kDialectTextSize];
  char szRestartReady[kFaultMarkSize];
  char szChunk[kDialectTextSize];
  char szChunkSum[kDialectTextSize];
  char szChecksum[kDialectTextSize];
  char szChecksumAnswer[kDialectTextSize];
  char szNoCommand[kDialectTextSize];
  char szAfterAddress[kDialectMarkSize];
  char szPairGaps[kDialectMarkSize];
  char szBeforeText[kDialectMarkSize];
  char szAfterText[kDialectMarkSize];
  char szUnreadable[kDialectMarkSize];
  char szFold[kDialectMarkSize];
  char aszFaultMarks[kFaultMarksMax][kFaultMarkSize];
  const char *apszFaultMarks[kFaultMarksMax + 1];
};

// szWhy gets "line 12: the reason" when the text is refused; the store then
// holds a dialect that is safe to use but not the one described.
bool ReadDialectDescription(const char *pText, size_t iLen, DialectStore *pStore, char *szWhy,
                            size_t iWhySize);

enum { kBuiltInCount = 6 };
struct BuiltInText {
  const char *szName;
  const char *szText;
};
// In DialectId order.
extern const BuiltInText kBuiltInDescriptions[kBuiltInCount];
