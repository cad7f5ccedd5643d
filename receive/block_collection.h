// block_collection.h - the dump lines of a checked block, gathered whole.
//
// When blocks are checked, dump lines are not written as they arrive. The
// control thread asks for a collection before it posts the dump command
// (sequence/block_request.h); on the main thread CollectDumpLine keeps every
// dump line that arrives until the prompt, where CloseBlockCollection hands
// the lines over for the control thread to check and write.
// CollectOtherLine keeps what else came: the first two such lines (what the
// device said instead of a dump) and the last (a checksum's answer), and
// hands over at once the first line that says the device faulted.
// Main thread only; the collection being gathered is this module's own.
#pragma once

void CollectDumpLine(const char *szLine);   // at each dump line's end
void CollectOtherLine(const char *szLine);  // at the end of a line that is none
void CloseBlockCollection();                // at each awaited prompt
