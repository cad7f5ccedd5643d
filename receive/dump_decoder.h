// dump_decoder.h - dump lines into the capture file.
//
// DecodeDumpLine runs on the main thread, inside AddRxChar, at every line end.
// A dump line has the layout of the monitor's dialect (IsDumpLine: the
// default's is at least 70 characters long and does not begin with the
// prompt); its byte pairs stand where dialogue/device_dialogue.h says. Each decoded
// byte goes to the capture file at once (WriteOutByte), so the file is
// complete up to its last byte at every moment. When blocks are checked,
// lines go to the block collection instead, and other lines are kept there
// as the answer of a one-line command.
#pragma once

void DecodeDumpLine(const char *szLine);
