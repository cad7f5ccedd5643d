// md5.cpp - MD5 as RFC 1321 defines it.
#include "dialogue/md5.h"

#include <string.h>

namespace {

const uint32_t kSines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
const int kShifts[16] = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};

uint32_t RotateLeft(uint32_t iValue, int iBits) {
  return (iValue << iBits) | (iValue >> (32 - iBits));
}

// One 64-byte block into the state.
void Md5Block(const uint8_t *pBlock, uint32_t aState[4]) {
  uint32_t aWords[16];
  for (int i = 0; i < 16; ++i) {
    aWords[i] = static_cast<uint32_t>(pBlock[4 * i]) |
                (static_cast<uint32_t>(pBlock[4 * i + 1]) << 8) |
                (static_cast<uint32_t>(pBlock[4 * i + 2]) << 16) |
                (static_cast<uint32_t>(pBlock[4 * i + 3]) << 24);
  }
  uint32_t a = aState[0], b = aState[1], c = aState[2], d = aState[3];
  for (int i = 0; i < 64; ++i) {
    int iRound = i / 16;
    uint32_t f;
    int g;
    if (iRound == 0) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (iRound == 1) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (iRound == 2) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    uint32_t iNext = d;
    d = c;
    c = b;
    b = b + RotateLeft(a + f + kSines[i] + aWords[g], kShifts[iRound * 4 + i % 4]);
    a = iNext;
  }
  aState[0] += a;
  aState[1] += b;
  aState[2] += c;
  aState[3] += d;
}

}  // namespace

void Md5(const uint8_t *pBytes, size_t iCount, uint8_t aDigest[kMd5Bytes]) {
  uint32_t aState[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  size_t iWhole = iCount - iCount % 64;
  for (size_t i = 0; i < iWhole; i += 64) Md5Block(pBytes + i, aState);
  // The rest, a 1 bit, zeros and the length in bits: one or two blocks.
  uint8_t aTail[128] = {};
  size_t iRest = iCount - iWhole;
  memcpy(aTail, pBytes + iWhole, iRest);
  aTail[iRest] = 0x80;
  size_t iTail = iRest < 56 ? 64 : 128;
  uint64_t iBits = static_cast<uint64_t>(iCount) * 8u;
  for (int i = 0; i < 8; ++i) aTail[iTail - 8 + i] = static_cast<uint8_t>(iBits >> (8 * i));
  for (size_t i = 0; i < iTail; i += 64) Md5Block(aTail + i, aState);
  for (int i = 0; i < 16; ++i) aDigest[i] = static_cast<uint8_t>(aState[i / 4] >> (8 * (i % 4)));
}

bool ParseMd5Answer(const char *szAnswer, uint8_t aDigest[kMd5Bytes]) {
  if (strlen(szAnswer) != 2 * kMd5Bytes + 3 || strcmp(szAnswer + 2 * kMd5Bytes, "  -") != 0) {
    return false;
  }
  for (int i = 0; i < 2 * kMd5Bytes; ++i) {
    char c = szAnswer[i];
    int iDigit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (iDigit < 0) return false;
    if (i % 2 == 0) aDigest[i / 2] = static_cast<uint8_t>(iDigit << 4);
    if (i % 2 == 1) aDigest[i / 2] = static_cast<uint8_t>(aDigest[i / 2] | iDigit);
  }
  return true;
}
