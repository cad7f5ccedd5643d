// key_translate.h - turns what a terminal sends for a key into the key values
// the Windows console run-time delivers: plain keys as themselves (Backspace
// as 8), extended keys as two values, a lead (0 or 224) and the key's code.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum KeyParse {
  kKeyNeedMore,  // the bytes so far could start a longer sequence
  kKeyComplete,  // a whole key (or an unknown sequence, yielding no values)
};

// Looks at the start of pBytes (iCount > 0 bytes). On kKeyComplete,
// *pUsed is the number of bytes taken and aValues[0..*pValues) the key values
// (none for a sequence that means no key the run-time knows). With bFinal set
// the caller has no more bytes to offer, so a pending Esc or Esc-prefix is
// taken as it stands.
KeyParse TranslateKeyBytes(const uint8_t *pBytes, size_t iCount, bool bFinal, size_t *pUsed,
                           uint8_t aValues[2], size_t *pValues);
