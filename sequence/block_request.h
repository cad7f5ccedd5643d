// block_request.h - the hand-over of a checked block's lines between the
// control thread, which asks for them, and the main thread, which gathers
// them (receive/block_collection). Both halves of each counter pair live
// here, so that nothing else touches the counters:
//
// Control thread:
//   AskForCollection       a new request, raised before the command is posted;
//                          returns its number
//   CollectedLines         what was gathered for request iGen, once published
//   CollectionFault        the line with which the device said it faulted on
//                          request iGen's command, and the echo before it
// Main thread:
//   TakeCollectionRequest  a request newer than the last one opened, if any
//   PublishCollection      the lines of a request, at its prompt
//   PublishFault           the first fault line of a request (no prompt may
//                          ever come after it)
// There are no locks: the publisher writes the lines before it raises the
// number that announces them (release); the reader loads the number first
// (acquire), and the lines stay untouched until the next request.
#pragma once

#include <stdint.h>

// What one checked block collects: the dump lines that arrived between the
// dump command and its prompt, kept as text so that the check can look at
// their address fields and text columns.
enum {
  kBlockLinesKept = 64,    // lines kept (a group of eight blocks); more are only counted
  kBlockLineChars = 96,    // characters kept of each line (a dump line has about 75)
  kOtherTextChars = 8192,  // every other line's text, for a chunk in base64 (4 KiB take 5,536)
};
struct BlockLines {
  uint32_t iLines;  // qualifying lines seen, kept or not
  char aszLine[kBlockLinesKept][kBlockLineChars];
  // The first lines that were no dump lines (the command's echo, an error of
  // the monitor's own), so that a failure can say what the device answered.
  uint32_t iOthers;
  char aszOther[2][kBlockLineChars];
  // The last line before the prompt that was no dump line: the answer of a
  // command that answers in one line (a checksum), the echo where none came.
  char szAnswer[kBlockLineChars];
  // Every line that was no dump line, each ended by "\n", as long as they
  // fit (a chunk's base64); iTextChars past kOtherTextChars: they did not.
  uint32_t iTextChars;
  char aText[kOtherTextChars];
};

uint32_t AskForCollection();
// nullptr until request iGen has been published (a later request replaces it).
const BlockLines *CollectedLines(uint32_t iGen);
bool CollectionFault(uint32_t iGen, const char **pszLine, const char **pszEcho);

bool TakeCollectionRequest(uint32_t iLastOpened, uint32_t *piGen);
void PublishCollection(uint32_t iGen, const BlockLines &oLines);
// False when request iGen already has its fault line.
bool PublishFault(uint32_t iGen, const char *szLine, const char *szEcho);
