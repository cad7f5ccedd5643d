// progress.h - the one-line progress display of a run with the echo off.
//
// Without options the line is "%.8X from %.8X \r" for each block, as it has
// always been. With any option it also shows the share of the range done,
// the image bytes per second and the time left, rewritten in place:
//   0001C080 from 0003FFFF   3%  2.1 KB/s  0:31:07 left
// Runs on the control thread.
#pragma once

#include <stdint.h>

void StartProgress();               // the clock starts at the first block
void ShowProgress(uint32_t iAddr);  // before the block at iAddr is read
void EndProgress();                 // "\n" and "Done. \n"
