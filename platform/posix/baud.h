// baud.h - baud rates beyond the standard table, where the system allows them.
#pragma once

#include <stdint.h>

// Sets the line's input and output rate. Returns false when the driver refuses
// the rate or settles on one more than 3% away from it.
bool SetPortBaudRate(int iFd, uint32_t iBaudRate);
