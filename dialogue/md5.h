// md5.h - the MD5 digest, as a shell's md5sum prints it, for confirming
// what a shell without crc32 sent.
//
//   Md5              the 16 bytes of the digest of iCount bytes
//   ParseMd5Answer   md5sum's line for its standard input ("<32 digits>  -"),
//                    lower-case digits, nothing else
#pragma once

#include <stddef.h>
#include <stdint.h>

enum { kMd5Bytes = 16 };

void Md5(const uint8_t *pBytes, size_t iCount, uint8_t aDigest[kMd5Bytes]);
bool ParseMd5Answer(const char *szAnswer, uint8_t aDigest[kMd5Bytes]);
