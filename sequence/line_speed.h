// line_speed.h - a faster line for the length of a walk (--speed-up RATE):
// U-Boot's "setenv baudrate RATE", the port set to RATE once the board
// announces the switch, and a carriage return at the new rate that its
// prompt must answer; at the end the board is set back the same way.
//
//   SpeedUpLine       after the walk's first prompt: false when the board is
//                     lost (it keeps the new rate until it is reset: said)
//   RestoreLineSpeed  at the walk's end, however it ends: the board's rate
//                     and the port's back to what they were
//   LineSpedUp        the board runs at the walk's rate (the console thread
//                     asks on t, to let the walk set it back first)
// Control thread but for LineSpedUp; posts through the hand-off and sets the
// port's rate.
#pragma once

#include "platform/platform.h"

bool SpeedUpLine(PortHandle hPort);
void RestoreLineSpeed();
// Any thread: the board runs at a rate the walk set, to be set back.
bool LineSpedUp();
