// word_order.h - U-Boot's wider displays (md.l, md.q): which width a run
// reads with, and how the words of a dump line become bytes in memory order.
//
// md.l and md.q print each word as one number, in the CPU's byte order,
// while their text column shows the bytes in memory order; so the text
// column proves the order wherever a word holds a printable byte. A block is
// kept only when its order is known: given (--byte-order), proven by an
// earlier block, shown by its own text column, or of no matter to it (every
// word the same read either way, as zeros or erased flash are).
//
//   WordOrderFor        the order that the printed words and the text column allow
//                       (pure: the rule the unit table checks)
//   WordsToMemory       a line's printed bytes in memory order, for an order (pure)
//   SetDumpWidth        the width the walk reads with now (1, 4 or 8), and the one
//                       it started with; NarrowDumpWidth the next narrower
//   DumpWidth           the width now
//   WidthDialect        the dialect row for the width (U-Boot's md.l and md.q rows
//                       made from its md.b row; any other dialect as it is)
//   StartWalkWidth      the width a walk starts with (--width, else the densest,
//                       md.q) and the order it knows (--byte-order)
//   OrderLineWords      one checked line's bytes put in memory order, or why not
//   SettleWordOrder     the order a kept block showed becomes the run's
// Control thread, but for DumpWidth and WidthDialect (any thread: the receive
// loop knows a dump line by the width's layout).
#pragma once

#include <stddef.h>
#include <stdint.h>

struct MonitorDialect;

enum ByteOrder { kOrderUnknown = 0, kOrderLittle = 1, kOrderBig = 2 };

// What a line says about the order: which orders agree with its text
// column, and whether the order changes any byte at all.
struct OrderEvidence {
  bool bLittleFits;
  bool bBigFits;
  bool bMatters;  // some word reads differently in the two orders
};

OrderEvidence WordOrderFor(const uint8_t *pPrinted, const char *pText, size_t iCount,
                           int iWordBytes);
void WordsToMemory(const uint8_t *pPrinted, size_t iCount, int iWordBytes, ByteOrder eOrder,
                   uint8_t *pMemory);

// bChecked: blocks are checked (the plain walk reads md.b as it always did).
void StartWalkWidth(bool bChecked);
void SetDumpWidth(int iWordBytes);
// False when the width is md.b's already.
bool NarrowDumpWidth();
int DumpWidth();
const MonitorDialect *WidthDialect(const MonitorDialect *pBase);
// The md verb of the width now, for messages ("md.q").
const char *DumpWidthWord();

ByteOrder WordOrder();
// pBytes holds the sixteen bytes of the line szLine as its words print them;
// on success they are in memory order. A block starts with StartOrderedBlock.
void StartOrderedBlock();
bool OrderLineWords(const char *szLine, int iLineNo, uint8_t *pBytes, char *szWhy, size_t iWhySize);
void SettleWordOrder();
// Whether the last block checked was refused only because the order of its
// words is not proven yet (asking clears it).
bool TakeOrderUnproven();
// The state of a run that has not started (a fresh start in tests).
void ResetWordOrder();
