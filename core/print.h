// print.h - console messages.
//
// Print formats like printf and emits the result in one write, flushed at once:
// the prompt, the echo and the progress line end without a line feed and must
// still show immediately, and prints of different threads may interleave only
// between prints, never within one. A formatted %c of 0 is emitted as a zero
// byte, like printf does.
//
// A progress line ends in a carriage return and stays unfinished: whatever is
// printed next, by whichever thread, first ends it with a line feed, so a
// message never lands on top of it.
#pragma once

#if defined(__GNUC__)
#define VEXLOR_PRINTF_LIKE(a, b) __attribute__((format(printf, a, b)))
#else
#define VEXLOR_PRINTF_LIKE(a, b)
#endif

void Print(const char *szFormat, ...) VEXLOR_PRINTF_LIKE(1, 2);
// A progress line, written over the one before.
void PrintProgress(const char *szFormat, ...) VEXLOR_PRINTF_LIKE(1, 2);
// The progress line is over: what follows needs no line feed of Print's.
void ForgetProgressLine();
