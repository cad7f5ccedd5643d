// files.h - what every test suite needs around files and time: temporary
// folders, reading and writing files, deterministic images, and waiting for a
// condition with a deadline (never a bare sleep).
#pragma once

#include <stddef.h>

#include <functional>
#include <string>

// Waits until bDone() holds, looking every few milliseconds.
bool WaitUntil(const std::function<bool()> &bDone, int iSeconds);

// A fresh folder /tmp/vexlor-<tag>-XXXXXX, removed when the test program
// ends with every test passed.
std::string MakeTempDir(const std::string &sTag);
std::string ReadFileBytes(const std::string &sPath);
void WriteFileBytes(const std::string &sPath, const std::string &sBytes);
bool FileExists(const std::string &sPath);
// Deterministic bytes for an image.
std::string MakeImage(size_t iSize, unsigned iSeed);
// How often sNeedle occurs in sText (overlapping ones too).
size_t Count(const std::string &sText, const std::string &sNeedle);
// Waits until the file holds at least iSize bytes.
bool WaitFileSize(const std::string &sPath, size_t iSize, int iSeconds);
