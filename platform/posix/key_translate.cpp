// key_translate.cpp - terminal escape sequences to console run-time key values.
//
// xterm-style sequences: CSI (Esc [) with numeric parameters and a final
// byte, SS3 (Esc O) and a letter, Esc and a letter for Alt. The modifier
// parameter is 1 + Shift(1) + Alt(2) + Ctrl(4). Sequences the run-time has no
// key for are swallowed whole, so that their letters never reach the command
// keys.
#include "platform/posix/key_translate.h"

namespace {

enum { kEsc = 27 };

struct KeyCodes {
  uint8_t iLead;                // of the plain key and with Shift
  uint8_t iPlain, iCtrl, iAlt;  // Alt always has lead 0; Ctrl keeps iLead
  uint8_t iShift;
};

// Navigation keys: lead 224.
const KeyCodes kUp = {224, 72, 141, 152, 72};
const KeyCodes kDown = {224, 80, 145, 160, 80};
const KeyCodes kRight = {224, 77, 116, 157, 77};
const KeyCodes kLeft = {224, 75, 115, 155, 75};
const KeyCodes kHome = {224, 71, 119, 151, 71};
const KeyCodes kEnd = {224, 79, 117, 159, 79};
const KeyCodes kInsert = {224, 82, 146, 162, 82};
const KeyCodes kDelete = {224, 83, 147, 163, 83};
const KeyCodes kPageUp = {224, 73, 132, 153, 73};
const KeyCodes kPageDown = {224, 81, 118, 161, 81};
// Function keys: F1 to F10 lead 0, F11 and F12 lead 224.
const KeyCodes kFunction[12] = {
    {0, 59, 94, 104, 84},  {0, 60, 95, 105, 85},      {0, 61, 96, 106, 86},
    {0, 62, 97, 107, 87},  {0, 63, 98, 108, 88},      {0, 64, 99, 109, 89},
    {0, 65, 100, 110, 90}, {0, 66, 101, 111, 91},     {0, 67, 102, 112, 92},
    {0, 68, 103, 113, 93}, {224, 133, 137, 139, 135}, {224, 134, 138, 140, 136}};

// Alt with a letter: lead 0 and the letter's keyboard scan code.
const uint8_t kLetterScan[26] = {30, 48, 46, 32, 18, 33, 34, 35, 23, 36, 37, 38, 50,
                                 49, 24, 25, 16, 19, 31, 20, 22, 47, 17, 45, 21, 44};

size_t Emit(const KeyCodes *pKey, unsigned iModifier, uint8_t aValues[2]) {
  if (pKey == nullptr) return 0;
  unsigned iBits = iModifier > 0 ? iModifier - 1 : 0;
  if (iBits & 4) {
    aValues[0] = pKey->iLead;
    aValues[1] = pKey->iCtrl;
  } else if (iBits & 2) {
    aValues[0] = 0;
    aValues[1] = pKey->iAlt;
  } else {
    aValues[0] = pKey->iLead;
    aValues[1] = (iBits & 1) ? pKey->iShift : pKey->iPlain;
  }
  return 2;
}

const KeyCodes *KeyByFinal(uint8_t cFinal) {
  switch (cFinal) {
    case 'A': return &kUp;
    case 'B': return &kDown;
    case 'C': return &kRight;
    case 'D': return &kLeft;
    case 'H': return &kHome;
    case 'F': return &kEnd;
    case 'P': return &kFunction[0];
    case 'Q': return &kFunction[1];
    case 'R': return &kFunction[2];
    case 'S': return &kFunction[3];
    default: return nullptr;
  }
}

const KeyCodes *KeyByNumber(unsigned iNumber) {
  switch (iNumber) {
    case 1:
    case 7: return &kHome;
    case 2: return &kInsert;
    case 3: return &kDelete;
    case 4:
    case 8: return &kEnd;
    case 5: return &kPageUp;
    case 6: return &kPageDown;
    case 11:
    case 12:
    case 13:
    case 14:
    case 15: return &kFunction[iNumber - 11];
    case 17:
    case 18:
    case 19:
    case 20:
    case 21: return &kFunction[iNumber - 12];
    case 23:
    case 24: return &kFunction[iNumber - 13];
    default: return nullptr;
  }
}

// The key a final byte of a CSI or SS3 sequence names, with its parameters.
size_t EmitSequenceKey(uint8_t cIntro, uint8_t cFinal, const unsigned aParam[2], unsigned iParams,
                       uint8_t aValues[2]) {
  unsigned iModifier = iParams >= 2 ? aParam[1] : 0;
  if (cFinal == '~') return Emit(KeyByNumber(aParam[0]), iModifier, aValues);
  if (cFinal == 'Z' && cIntro == '[') {
    aValues[0] = 0;  // Shift+Tab
    aValues[1] = 15;
    return 2;
  }
  return Emit(KeyByFinal(cFinal), iModifier, aValues);
}

// Esc [ or Esc O and what follows: parameters (digits and ';') up to a final
// byte in 0x40..0x7E. Returns false when the two bytes stand alone, which
// makes them Alt with [ or O.
bool ScanControlSequence(const uint8_t *pBytes, size_t iCount, bool bFinal, KeyParse *pParse,
                         size_t *pUsed, uint8_t aValues[2], size_t *pValues) {
  unsigned aParam[2] = {0, 0};
  unsigned iParams = 0;
  bool bDigits = false;
  *pParse = kKeyComplete;
  for (size_t i = 2; i < iCount; ++i) {
    uint8_t b = pBytes[i];
    if (b >= '0' && b <= '9') {
      if (iParams < 2 && aParam[iParams] < 1000) aParam[iParams] = aParam[iParams] * 10 + (b - '0');
      bDigits = true;
    } else if (b == ';') {
      if (iParams < 2) ++iParams;
    } else {
      *pUsed = i + 1;
      if (b < 0x40 || b > 0x7E) return true;  // malformed: swallow it
      if (bDigits && iParams < 2) ++iParams;
      *pValues = EmitSequenceKey(pBytes[1], b, aParam, iParams, aValues);
      return true;
    }
  }
  // Sequences longer than this are nothing a key sends.
  if (!bFinal && iCount < 16) {
    *pParse = kKeyNeedMore;
    return true;
  }
  if (iCount > 2) {
    *pUsed = iCount;
    return true;
  }
  return false;
}

// Esc and one more byte: Alt with a letter or a digit; a second Esc makes the
// first a key of its own. Anything else is swallowed with the Esc.
void TranslateAltKey(uint8_t cKey, size_t *pUsed, uint8_t aValues[2], size_t *pValues) {
  *pUsed = 2;
  uint8_t cLower = (cKey >= 'A' && cKey <= 'Z') ? static_cast<uint8_t>(cKey + 32) : cKey;
  if (cLower >= 'a' && cLower <= 'z') {
    aValues[0] = 0;
    aValues[1] = kLetterScan[cLower - 'a'];
    *pValues = 2;
  } else if (cKey == kEsc) {
    *pUsed = 1;
    aValues[0] = kEsc;
    *pValues = 1;
  } else if (cKey >= '1' && cKey <= '9') {
    aValues[0] = 0;
    aValues[1] = static_cast<uint8_t>(120 + (cKey - '1'));
    *pValues = 2;
  } else if (cKey == '0') {
    aValues[0] = 0;
    aValues[1] = 129;
    *pValues = 2;
  }
}

}  // namespace

KeyParse TranslateKeyBytes(const uint8_t *pBytes, size_t iCount, bool bFinal, size_t *pUsed,
                           uint8_t aValues[2], size_t *pValues) {
  *pValues = 0;
  *pUsed = 1;
  uint8_t c = pBytes[0];
  if (c != kEsc) {
    // Terminals send DEL for Backspace; the console run-time delivers 8.
    aValues[0] = c == 127 ? 8 : c;
    *pValues = 1;
    return kKeyComplete;
  }
  if (iCount == 1) {
    if (!bFinal) return kKeyNeedMore;
    aValues[0] = kEsc;
    *pValues = 1;
    return kKeyComplete;
  }
  KeyParse eParse = kKeyComplete;
  if ((pBytes[1] == '[' || pBytes[1] == 'O') &&
      ScanControlSequence(pBytes, iCount, bFinal, &eParse, pUsed, aValues, pValues)) {
    return eParse;
  }
  TranslateAltKey(pBytes[1], pUsed, aValues, pValues);
  return kKeyComplete;
}
