// block_collection.h - the dump lines of a checked block, gathered whole.
//
// When blocks are checked, dump lines are not written as they arrive. The
// control thread asks for a collection (iCollectGen) before it posts the dump
// command; on the main thread CollectDumpLine keeps every dump line that
// arrives until the prompt, where CloseBlockCollection hands the lines over
// (oBlockReady, iBlockReadyGen) for the control thread to check and write.
// CollectAnswerLine keeps the last other line (a checksum's answer) with them.
// Main thread only. Writes iCollectingGen, bCollectionOpen, oBlockCollecting,
// oBlockReady and iBlockReadyGen.
#pragma once

void CollectDumpLine(const char *szLine);    // at each dump line's end
void CollectAnswerLine(const char *szLine);  // at each other line's end
void CloseBlockCollection();                 // at each awaited prompt
