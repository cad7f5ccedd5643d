// dump_decoder.h - dump lines into the capture file.
//
// DecodeDumpLine runs on the main thread, inside AddRxChar, at every line end.
// A dump line is at least 70 characters long and does not begin with ">"; its
// byte pairs stand from character 8 up to a pair starting at character 56,
// separated by blanks or "-". Each decoded byte goes to the capture file at
// once (WriteOutByte), so the file is complete up to its last byte at every
// moment. When blocks are checked, lines go to the block collection instead.
// Writes bOutWriteFailed and iCapturedBytes.
#pragma once

#include <stdint.h>

enum {
  kDumpLineMin = 70,   // shorter lines are not dump lines
  kDumpFirstPair = 8,  // characters 0..7 hold the line's address
  kDumpPairsEnd = 57,  // no pair starts at or after this character
};

void DecodeDumpLine(const char *szLine);
uint8_t HexPairToByte(const char *pPair);
// The value of one hexadecimal digit of either case, -1 for any other character.
int HexDigitValue(char c);
void WriteOutByte(uint8_t iByte);
// Says once that the capture cannot be written: a full disk or a vanished
// drive must not go unnoticed.
void ReportCaptureWriteFailure();
