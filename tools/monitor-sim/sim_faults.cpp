// Fault decisions of the simulated link.  Damage is applied to text the
// dialogue has already laid out, so a dump line keeps the exact shape of a
// real one everywhere the fault did not hit.
#include "sim_faults.h"

#include <cstdarg>
#include <cstdio>

namespace {

// A dump line is "AAAAAAAA" followed by 16 pairs, each a separator (' ' or
// '-') and two hex digits; the text column follows the last pair.  An md.b
// line has "aaaaaaaa:" in front of the same pairs, so its digits sit one
// column further right.
const size_t kFirstDigit = 9;
const size_t kUbootFirstDigit = 10;
const size_t kPairWidth = 3;
const int kDigitsPerLine = 32;

const char kHexDigits[] = "0123456789ABCDEF";
// U-Boot writes its digits in lower case, and one bit hit on the wire
// cannot change the case of a whole alphabet.
const char kUbootHexDigits[] = "0123456789abcdef";
// What a garbled digit becomes: printable, not a hex digit, and neither a
// separator of the pairs nor the prompt, so the damage reads as damage and
// not as a shifted line or an early prompt.
const char kGarbleChars[] =
    "GHIJKLMNOPQRSTUVWXYZghijklmnopqrstuvwxyz!\"#$%&'()*+,./:;<=?@[\\]^_`{|}~";

uint64_t Mix(uint64_t iValue) {
  iValue = (iValue ^ (iValue >> 30)) * 0xBF58476D1CE4E5B9ull;
  iValue = (iValue ^ (iValue >> 27)) * 0x94D049BB133111EBull;
  return iValue ^ (iValue >> 31);
}

// splitmix64: small, fast, and every state is a valid one, so any seed
// (0 included) gives a good stream.
uint64_t NextRandom(LinkFaults *pFaults, FaultStream eStream) {
  pFaults->aiState[eStream] += 0x9E3779B97F4A7C15ull;
  return Mix(pFaults->aiState[eStream]);
}

// A whole number in 0..iBound-1; the modulo bias is far below anything a
// test could notice for bounds this small.
uint64_t RandomBelow(LinkFaults *pFaults, FaultStream eStream, uint64_t iBound) {
  return NextRandom(pFaults, eStream) % iBound;
}

// Rates of 0 and 1 draw nothing, so a fault that is off (or always on)
// leaves its stream where it was.
bool Chance(LinkFaults *pFaults, FaultStream eStream, double fRate) {
  if (fRate <= 0.0) return false;
  if (fRate >= 1.0) return true;
  double fDraw =
      static_cast<double>(NextRandom(pFaults, eStream) >> 11) * (1.0 / 9007199254740992.0);
  return fDraw < fRate;
}

size_t FirstDigit(const SimOptions &oOptions) {
  return oOptions.eDialect == kDialectUboot ? kUbootFirstDigit : kFirstDigit;
}

size_t DigitColumn(const SimOptions &oOptions, const DigitColumns *pColumns, int iDigit) {
  if (pColumns != nullptr) return pColumns->aiColumns[static_cast<size_t>(iDigit)];
  return FirstDigit(oOptions) + static_cast<size_t>(iDigit / 2) * kPairWidth +
         static_cast<size_t>(iDigit % 2);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void FlipDigit(LinkFaults *pFaults, int64_t iLineNumber, std::string *psLine,
               const DigitColumns *pColumns) {
  size_t iColumn =
      DigitColumn(*pFaults->pOptions, pColumns,
                  static_cast<int>(RandomBelow(pFaults, kStreamFlipDigit, kDigitsPerLine)));
  int iBit = static_cast<int>(RandomBelow(pFaults, kStreamFlipDigit, 4));
  char cOld = (*psLine)[iColumn];
  int iValue = HexValue(cOld);
  if (iValue < 0) return;  // already garbled: nothing left to flip
  // Any 4-bit value with one bit flipped is still a 4-bit value: the digit
  // stays a digit, as when one bit of a character is hit on the wire.
  bool bLower =
      pColumns != nullptr ? !pColumns->bUpper : pFaults->pOptions->eDialect == kDialectUboot;
  const char *szDigits = bLower ? kUbootHexDigits : kHexDigits;
  char cNew = szDigits[iValue ^ (1 << iBit)];
  (*psLine)[iColumn] = cNew;
  ReportFault(*pFaults->pOptions, "flip-digit at line %lld column %zu ('%c' -> '%c')",
              static_cast<long long>(iLineNumber), iColumn + 1, cOld, cNew);
}

void GarbleDigit(LinkFaults *pFaults, int64_t iLineNumber, std::string *psLine,
                 const DigitColumns *pColumns) {
  size_t iColumn =
      DigitColumn(*pFaults->pOptions, pColumns,
                  static_cast<int>(RandomBelow(pFaults, kStreamGarble, kDigitsPerLine)));
  char cNew = kGarbleChars[RandomBelow(pFaults, kStreamGarble, sizeof kGarbleChars - 1)];
  char cOld = (*psLine)[iColumn];
  // The blanks that stand for the missing bytes of a short md.b line.
  if (cOld == ' ') return;
  (*psLine)[iColumn] = cNew;
  ReportFault(*pFaults->pOptions, "garble at line %lld column %zu ('%c' -> '%c')",
              static_cast<long long>(iLineNumber), iColumn + 1, cOld, cNew);
}

void CutLine(LinkFaults *pFaults, int64_t iLineNumber, std::string *psLine) {
  if (psLine->size() < 2) return;
  // At least one character stays, so the cut line is still seen as a line.
  size_t iKeep = 1 + static_cast<size_t>(RandomBelow(pFaults, kStreamCutLines, psLine->size() - 1));
  psLine->resize(iKeep);
  ReportFault(*pFaults->pOptions, "cut-lines at line %lld after %zu characters",
              static_cast<long long>(iLineNumber), iKeep);
}

}  // namespace

void SetUpFaults(LinkFaults *pFaults, const SimOptions &oOptions) {
  pFaults->pOptions = &oOptions;
  uint64_t iSeed = static_cast<uint64_t>(oOptions.iSeed);
  // Mixing the stream's number in puts the streams far apart in the
  // generator's cycle instead of one step behind each other.
  for (int i = 0; i < kStreamCount; ++i)
    pFaults->aiState[i] = Mix(iSeed ^ Mix(static_cast<uint64_t>(i + 1)));
  ForgetArrivals(pFaults);
}

void DamageDumpLine(LinkFaults *pFaults, int64_t iLineNumber, std::string *psLine,
                    const DigitColumns *pColumns) {
  const SimOptions &oOptions = *pFaults->pOptions;
  // Shorter than its pairs: not a dump line's shape.
  if (pColumns == nullptr && psLine->size() <= FirstDigit(oOptions) + 16 * kPairWidth - 1) return;
  if (pColumns != nullptr && pColumns->aiColumns.size() != static_cast<size_t>(kDigitsPerLine))
    return;
  if (Chance(pFaults, kStreamFlipDigit, oOptions.fFlipDigit))
    FlipDigit(pFaults, iLineNumber, psLine, pColumns);
  if (Chance(pFaults, kStreamGarble, oOptions.fGarble))
    GarbleDigit(pFaults, iLineNumber, psLine, pColumns);
  if (Chance(pFaults, kStreamCutLines, oOptions.fCutLines)) CutLine(pFaults, iLineNumber, psLine);
}

bool DoubleDumpLine(LinkFaults *pFaults, int64_t iLineNumber) {
  if (!Chance(pFaults, kStreamDoubleLines, pFaults->pOptions->fDoubleLines)) return false;
  ReportFault(*pFaults->pOptions, "double-lines at line %lld", static_cast<long long>(iLineNumber));
  return true;
}

void DropChars(LinkFaults *pFaults, const std::string &sWhere, std::string *psPiece) {
  double fRate = pFaults->pOptions->fDropChars;
  if (fRate <= 0.0) return;
  std::string sKept;
  sKept.reserve(psPiece->size());
  for (size_t i = 0; i < psPiece->size(); ++i) {
    if (Chance(pFaults, kStreamDropChars, fRate))
      ReportFault(*pFaults->pOptions, "drop-chars at %s column %zu", sWhere.c_str(), i + 1);
    else
      sKept += (*psPiece)[i];
  }
  psPiece->swap(sKept);
}

bool DropPrompt(LinkFaults *pFaults, int64_t iCommand) {
  if (!Chance(pFaults, kStreamDropPrompt, pFaults->pOptions->fDropPrompt)) return false;
  ReportFault(*pFaults->pOptions, "drop-prompt at command %lld", static_cast<long long>(iCommand));
  return true;
}

void AddNoise(LinkFaults *pFaults, std::string *psPiece) {
  double fRate = pFaults->pOptions->fNoise;
  for (char &c : *psPiece) {
    ++pFaults->iBytesSent;
    if (!Chance(pFaults, kStreamNoise, fRate)) continue;
    char cOld = c;
    c = static_cast<char>(c ^ (1 << RandomBelow(pFaults, kStreamNoise, 8)));
    ReportFault(*pFaults->pOptions, "noise at output byte %lld (%02X -> %02X)",
                static_cast<long long>(pFaults->iBytesSent),
                static_cast<unsigned>(static_cast<uint8_t>(cOld)),
                static_cast<unsigned>(static_cast<uint8_t>(c)));
  }
}

bool LoseArrivingByte(LinkFaults *pFaults, int64_t iArrivalNs, uint8_t iByte) {
  const SimOptions &oOptions = *pFaults->pOptions;
  ++pFaults->iBytesReceived;
  int64_t iPreviousNs = pFaults->iLastArrivalNs;
  // The gap is measured from the previous byte's arrival whether or not
  // that byte was lost: the receiver was busy with it either way.
  pFaults->iLastArrivalNs = iArrivalNs;
  if (oOptions.iOverrunGapUs <= 0 || iPreviousNs < 0) return false;
  int64_t iGapUs = (iArrivalNs - iPreviousNs) / 1000;
  if (iGapUs >= oOptions.iOverrunGapUs) return false;
  if (!Chance(pFaults, kStreamOverrun, oOptions.fOverrunRate)) return false;
  ReportFault(oOptions, "overrun at received byte %lld (%02X, %lld us after the previous)",
              static_cast<long long>(pFaults->iBytesReceived), static_cast<unsigned>(iByte),
              static_cast<long long>(iGapUs));
  return true;
}

void ForgetArrivals(LinkFaults *pFaults) { pFaults->iLastArrivalNs = -1; }

void ReportFault(const SimOptions &oOptions, const char *szFormat, ...) {
  if (!oOptions.bVerbose) return;
  std::fputs("monitor-sim: fault ", stderr);
  va_list oArgs;
  va_start(oArgs, szFormat);
  std::vfprintf(stderr, szFormat, oArgs);
  va_end(oArgs);
  std::fputc('\n', stderr);
}
