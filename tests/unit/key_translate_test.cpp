// Terminal key sequences into the console run-time's key values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/key_translate.h"

namespace {

// Translates a whole input, taking it as final.
std::vector<int> Keys(const std::string &sBytes) {
  std::vector<int> aKeys;
  size_t iAt = 0;
  while (iAt < sBytes.size()) {
    size_t iUsed = 0;
    size_t iValues = 0;
    uint8_t aValues[2];
    const uint8_t *p = reinterpret_cast<const uint8_t *>(sBytes.data()) + iAt;
    KeyParse eParse = TranslateKeyBytes(p, sBytes.size() - iAt, false, &iUsed, aValues, &iValues);
    if (eParse == kKeyNeedMore) {
      TranslateKeyBytes(p, sBytes.size() - iAt, true, &iUsed, aValues, &iValues);
    }
    for (size_t i = 0; i < iValues; ++i) aKeys.push_back(aValues[i]);
    iAt += iUsed;
  }
  return aKeys;
}

using V = std::vector<int>;

TEST(KeyTranslate, PlainKeysAsTheRunTimeDeliversThem) {
  EXPECT_EQ(Keys("st \r"), (V{'s', 't', ' ', 13}));
  EXPECT_EQ(Keys("\x7f"), V{8});
  EXPECT_EQ(Keys("\x03"), V{3});
}

TEST(KeyTranslate, LoneEscAndDoubleEsc) {
  EXPECT_EQ(Keys("\x1b"), V{27});
  EXPECT_EQ(Keys("\x1b\x1b"), (V{27, 27}));
}

TEST(KeyTranslate, ArrowsAndNavigationKeys) {
  EXPECT_EQ(Keys("\x1b[A\x1b[B\x1b[C\x1b[D"), (V{224, 72, 224, 80, 224, 77, 224, 75}));
  EXPECT_EQ(Keys("\x1bOA"), (V{224, 72}));
  EXPECT_EQ(Keys("\x1b[H\x1b[F\x1b[1~\x1b[4~"), (V{224, 71, 224, 79, 224, 71, 224, 79}));
  EXPECT_EQ(Keys("\x1b[2~\x1b[3~\x1b[5~\x1b[6~"), (V{224, 82, 224, 83, 224, 73, 224, 81}));
}

TEST(KeyTranslate, ModifiedArrowsReachTheCommandLetters) {
  EXPECT_EQ(Keys("\x1b[1;5C"), (V{224, 116}));  // Ctrl+Right: t
  EXPECT_EQ(Keys("\x1b[1;5D"), (V{224, 115}));  // Ctrl+Left: s
  EXPECT_EQ(Keys("\x1b[1;3A"), (V{0, 152}));    // Alt+Up
  EXPECT_EQ(Keys("\x1b[1;2A"), (V{224, 72}));   // Shift+Up is Up
}

TEST(KeyTranslate, FunctionKeys) {
  EXPECT_EQ(Keys("\x1bOP\x1bOS"), (V{0, 59, 0, 62}));
  EXPECT_EQ(Keys("\x1b[15~\x1b[21~"), (V{0, 63, 0, 68}));
  EXPECT_EQ(Keys("\x1b[23~\x1b[24~"), (V{224, 133, 224, 134}));
  EXPECT_EQ(Keys("\x1b[1;3P"), (V{0, 104}));   // Alt+F1: h
  EXPECT_EQ(Keys("\x1b[20;3~"), (V{0, 112}));  // Alt+F9: p
}

TEST(KeyTranslate, AltWithALetterGivesItsScanCode) {
  EXPECT_EQ(Keys("\x1b"
                 "d"),
            (V{0, 32}));  // Alt+D: the blank
  EXPECT_EQ(Keys("\x1b"
                 "Q"),
            (V{0, 16}));
  EXPECT_EQ(Keys("\x1b"
                 "1"),
            (V{0, 120}));
}

TEST(KeyTranslate, UnknownSequencesAreSwallowedWhole) {
  EXPECT_EQ(Keys("\x1b[200~s"), V{'s'});
  EXPECT_EQ(Keys("\x1b[99;9Xt"), V{'t'});
  EXPECT_EQ(Keys("\x1b"
                 "[" +
                 std::string(20, '1') + "t"),
            V{});
}

TEST(KeyTranslate, IncompleteSequenceAsksForMore) {
  size_t iUsed = 0;
  size_t iValues = 0;
  uint8_t aValues[2];
  const uint8_t aPart[] = {27, '[', '1', ';'};
  EXPECT_EQ(TranslateKeyBytes(aPart, 4, false, &iUsed, aValues, &iValues), kKeyNeedMore);
  EXPECT_EQ(TranslateKeyBytes(aPart, 1, false, &iUsed, aValues, &iValues), kKeyNeedMore);
}

}  // namespace
