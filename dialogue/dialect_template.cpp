// dialect_template.cpp - composing commands and reading answers by a
// monitor's templates.
#include "dialogue/dialect_template.h"

#include <stdio.h>
#include <string.h>

namespace {

const char *const kFieldNames[kFieldCount_] = {"addr",  "last",   "len",     "count",
                                               "bank",  "offset", "word1",   "word2",
                                               "word3", "file",   "command", "value"};

enum { kMaxWidth = 10 };

// One field as written: its name and its number format.
struct FieldSpec {
  TemplateField eField;
  char cFormat;  // 'x', 'X', 'd'; 0 for a text field
  int iWidth;    // 0: any number of digits
};

bool IsNumberField(TemplateField eField) { return eField < kFieldWord1 || eField == kFieldValue; }

// Reads the field whose '{' is at szAt; *ppEnd is after its '}'. szWhy says
// what is wrong (may be nullptr).
bool ReadField(const char *szAt, FieldSpec *pSpec, const char **ppEnd, char *szWhy,
               size_t iWhySize) {
  const char *p = szAt + 1;
  size_t iName = strspn(p, "abcdefghijklmnopqrstuvwxyz0123456789");
  int iField = -1;
  for (int i = 0; i < kFieldCount_; ++i) {
    if (strlen(kFieldNames[i]) == iName && strncmp(kFieldNames[i], p, iName) == 0) iField = i;
  }
  if (iField < 0) {
    if (szWhy != nullptr)
      snprintf(szWhy, iWhySize,
               "{%.*s} is no field (addr, last, len, count, bank, offset, word1..3, "
               "file, command, value)",
               static_cast<int>(iName < 20 ? iName : 20), p);
    return false;
  }
  *pSpec = FieldSpec{static_cast<TemplateField>(iField), 0, 0};
  p += iName;
  if (*p == ':') {
    ++p;
    bool bZero = *p == '0';
    if (bZero) ++p;
    while (*p >= '0' && *p <= '9' && pSpec->iWidth <= kMaxWidth)
      pSpec->iWidth = pSpec->iWidth * 10 + (*p++ - '0');
    if (*p == 'x' || *p == 'X' || *p == 'd') pSpec->cFormat = *p++;
    if (pSpec->cFormat == 0 || pSpec->iWidth > kMaxWidth || (pSpec->iWidth > 0 && !bZero)) {
      if (szWhy != nullptr)
        snprintf(szWhy, iWhySize,
                 "{%s:...}: a number's format is x, X or d, with a width "
                 "written with a leading zero (08X)",
                 kFieldNames[iField]);
      return false;
    }
  }
  if (*p != '}') {
    if (szWhy != nullptr) snprintf(szWhy, iWhySize, "{%s is not closed by }", kFieldNames[iField]);
    return false;
  }
  bool bNumber = IsNumberField(pSpec->eField);
  if (bNumber != (pSpec->cFormat != 0)) {
    if (szWhy != nullptr)
      snprintf(szWhy, iWhySize,
               bNumber ? "{%s} needs a number format, such as {%s:08X}" : "{%s} takes no format",
               kFieldNames[iField], kFieldNames[iField]);
    return false;
  }
  *ppEnd = p + 1;
  return true;
}

int DigitIn(char c, char cFormat) {
  if (c >= '0' && c <= '9') return c - '0';
  if (cFormat == 'x' && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (cFormat == 'X' && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The number at *pp in the field's format; *pp moves past it.
bool ReadNumber(const char **pp, const FieldSpec &oSpec, uint32_t *piValue) {
  uint32_t iBase = oSpec.cFormat == 'd' ? 10 : 16;
  int iMax = oSpec.iWidth > 0 ? oSpec.iWidth : kMaxWidth;
  uint64_t iValue = 0;
  int iDigits = 0;
  for (; iDigits < iMax; ++iDigits) {
    int iDigit = DigitIn((*pp)[iDigits], oSpec.cFormat);
    if (iDigit < 0) break;
    iValue = iValue * iBase + static_cast<uint64_t>(iDigit);
    if (iValue > 0xFFFFFFFFull) return false;
  }
  if (iDigits == 0 || (oSpec.iWidth > 0 && iDigits != oSpec.iWidth)) return false;
  *pp += iDigits;
  *piValue = static_cast<uint32_t>(iValue);
  return true;
}

const char *TextOf(const FieldSpec &oSpec, const TemplateValues &oValues, size_t *piLen) {
  if (oSpec.eField == kFieldCommand) {
    *piLen = oValues.iCommandLen;
    return oValues.pCommand != nullptr ? oValues.pCommand : "";
  }
  const char *szWord =
      oSpec.eField == kFieldFile ? oValues.szFile : oValues.aszWords[oSpec.eField - kFieldWord1];
  if (szWord == nullptr) szWord = "";
  *piLen = strlen(szWord);
  return szWord;
}

}  // namespace

bool CheckTemplate(const char *szTemplate, unsigned iAllowed, char *szWhy, size_t iWhySize) {
  for (const char *p = szTemplate; *p != 0;) {
    if (*p != '{') {
      ++p;
      continue;
    }
    if (p[1] == '{') {
      p += 2;
      continue;
    }
    FieldSpec oSpec;
    if (!ReadField(p, &oSpec, &p, szWhy, iWhySize)) return false;
    if ((iAllowed & (1u << oSpec.eField)) == 0) {
      snprintf(szWhy, iWhySize, "{%s} has no meaning here", kFieldNames[oSpec.eField]);
      return false;
    }
  }
  return true;
}

namespace {

// The next field of a well-formed template from *pp; false at its end (or
// at a field that is not well formed).
bool NextField(const char **pp, FieldSpec *pSpec) {
  for (const char *p = *pp; *p != 0;) {
    if (*p != '{' || p[1] == '{') {
      p += *p == '{' ? 2 : 1;
      continue;
    }
    return ReadField(p, pSpec, pp, nullptr, 0);
  }
  return false;
}

// A digest's 2 * kDigestBytes digits at *pp, in the field's case.
bool ReadDigest(const char **pp, const FieldSpec &oSpec, uint8_t *pDigest) {
  if (oSpec.cFormat == 'd' || oSpec.iWidth != 0) return false;
  for (int i = 0; i < 2 * kDigestBytes; ++i) {
    int iDigit = DigitIn((*pp)[i], oSpec.cFormat);
    if (iDigit < 0) return false;
    uint8_t iHigh = i % 2 == 0 ? 0 : pDigest[i / 2];
    pDigest[i / 2] = static_cast<uint8_t>(i % 2 == 0 ? iDigit << 4 : iHigh | iDigit);
  }
  *pp += 2 * kDigestBytes;
  return true;
}

}  // namespace

bool TemplateHasField(const char *szTemplate, TemplateField eField) {
  const char *p = szTemplate;
  FieldSpec oSpec;
  while (NextField(&p, &oSpec)) {
    if (oSpec.eField == eField) return true;
  }
  return false;
}

bool FieldIsPlainHex(const char *szTemplate, TemplateField eField) {
  const char *p = szTemplate;
  FieldSpec oSpec;
  while (NextField(&p, &oSpec)) {
    if (oSpec.eField == eField && (oSpec.cFormat == 'd' || oSpec.iWidth != 0)) return false;
  }
  return true;
}

bool ExpandTemplate(const char *szTemplate, const TemplateValues &oValues, char *szOut,
                    size_t iOutSize) {
  size_t iAt = 0;
  for (const char *p = szTemplate; *p != 0;) {
    char szPiece[24];
    const char *pPiece = szPiece;
    size_t iLen = 1;
    if (*p != '{' || p[1] == '{') {
      szPiece[0] = *p;
      p += *p == '{' ? 2 : 1;
    } else {
      FieldSpec oSpec;
      if (!ReadField(p, &oSpec, &p, nullptr, 0) || oSpec.eField == kFieldValue) return false;
      if (oSpec.cFormat == 0) {
        pPiece = TextOf(oSpec, oValues, &iLen);
      } else {
        const char *szFormat = oSpec.cFormat == 'd'   ? "%0*u"
                               : oSpec.cFormat == 'x' ? "%0*x"
                                                      : "%0*X";
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
        int iWritten = snprintf(szPiece, sizeof szPiece, szFormat, oSpec.iWidth,
                                static_cast<unsigned>(oValues.aiNumbers[oSpec.eField]));
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
        iLen = iWritten > 0 ? static_cast<size_t>(iWritten) : 0;
      }
    }
    if (iAt + iLen >= iOutSize) return false;
    memcpy(szOut + iAt, pPiece, iLen);
    iAt += iLen;
  }
  szOut[iAt] = 0;
  return true;
}

bool MatchTemplate(const char *szTemplate, const char *szLine, const TemplateValues &oExpected,
                   uint32_t *piValue, uint8_t *pDigest) {
  bool bValue = false;
  uint32_t iValue = 0;
  const char *q = szLine;
  for (const char *p = szTemplate; *p != 0;) {
    if (*p != '{' || p[1] == '{') {
      if (*q++ != *p) return false;
      p += *p == '{' ? 2 : 1;
      continue;
    }
    FieldSpec oSpec;
    if (!ReadField(p, &oSpec, &p, nullptr, 0)) return false;
    if (oSpec.cFormat == 0) {
      size_t iLen = 0;
      const char *pText = TextOf(oSpec, oExpected, &iLen);
      if (strncmp(q, pText, iLen) != 0) return false;
      q += iLen;
      continue;
    }
    if (oSpec.eField == kFieldValue && pDigest != nullptr) {
      // Every {value} the same: a second one must spell the first's digits.
      uint8_t aRead[kDigestBytes];
      if (!ReadDigest(&q, oSpec, aRead) || (bValue && memcmp(aRead, pDigest, kDigestBytes) != 0))
        return false;
      memcpy(pDigest, aRead, kDigestBytes);
      bValue = true;
      continue;
    }
    uint32_t iRead = 0;
    if (!ReadNumber(&q, oSpec, &iRead)) return false;
    if (oSpec.eField != kFieldValue) {
      if (iRead != oExpected.aiNumbers[oSpec.eField]) return false;
    } else if (bValue && iRead != iValue) {
      return false;
    } else {
      bValue = true;
      iValue = iRead;
    }
  }
  if (*q != 0) return false;
  if (bValue && piValue != nullptr) *piValue = iValue;
  return bValue || (piValue == nullptr && pDigest == nullptr);
}
