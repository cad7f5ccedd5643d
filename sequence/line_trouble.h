// line_trouble.h - receive errors that the port counted while a block came
// in: a reading during which the port saw a frame, overrun or parity error
// is refused however good its lines looked.
//
//   LineErrorsBetween  receive errors the port counted between two readings
//                      of its counters
// Control thread only.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

uint64_t LineErrorsBetween(const PortErrorCounts &oBefore, const PortErrorCounts &oAfter);
