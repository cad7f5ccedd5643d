// win32_internal.h - what the Windows back-end's files share among themselves.
#pragma once

#include <stdint.h>

// output.cpp: waits until the queued output is written, at most iMaxMs; false
// if it is still blocked then (used by EndProcess).
bool FlushOutput(uint32_t iMaxMs);
