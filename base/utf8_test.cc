// UTF-8 decoding of good and bad sequences, and every code point through
// encoding, decoding and UTF-16.
#include "base/utf8.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace {

using namespace std::string_view_literals;

// length: what DecodeUtf8 returns; code: the code point when it is > 0.
struct DecodeRow {
  const char* name;
  std::string_view bytes;
  int length;
  char32_t code;
};

const DecodeRow kDecodeRows[] = {
    {"Ascii", "a", 1, U'a'},
    {"Nul", "\0"sv, 1, 0},
    {"OnlyTheFirstCharacter", "ab", 1, U'a'},
    {"TwoBytes", "\xc3\xa9", 2, 0xE9},
    {"ThreeBytes", "\xe2\x82\xac", 3, 0x20AC},
    {"FourBytes", "\xf0\x9f\x98\x80", 4, 0x1F600},
    {"Highest", "\xf4\x8f\xbf\xbf", 4, 0x10FFFF},
    // A valid beginning cut short asks for more bytes.
    {"CutTwo", "\xc3", -1, 0},
    {"CutThree", "\xe2\x82", -1, 0},
    {"CutFour", "\xf0\x9f\x98", -1, 0},
    // A cut sequence that is already wrong needs no more bytes to say so.
    {"CutButBadSecond", "\xe2(", 0, 0},
    {"StrayContinuation", "\x80", 0, 0},
    {"OverlongTwo", "\xc0\xaf", 0, 0},
    {"OverlongThree", "\xe0\x80\xaf", 0, 0},
    {"OverlongFour", "\xf0\x80\x80\xaf", 0, 0},
    {"Surrogate", "\xed\xa0\x80", 0, 0},
    {"BeyondUnicode", "\xf4\x90\x80\x80", 0, 0},
    {"LeadF5", "\xf5\x80\x80\x80", 0, 0},
    {"BadThirdByte", "\xe2\x82(", 0, 0},
    {"Empty", "", 0, 0},
};

TEST(Utf8Test, Decode) {
  for (const DecodeRow& row : kDecodeRows) {
    SCOPED_TRACE(row.name);
    char32_t code = 0;
    EXPECT_EQ(DecodeUtf8(row.bytes, &code), row.length);
    if (row.length > 0) {
      EXPECT_EQ(code, row.code);
    }
  }
}

// Every code point but the surrogates survives encoding and decoding, and
// the same code point goes to UTF-16 as one unit or a pair.
TEST(Utf8Test, EncodeRoundTrip) {
  for (char32_t code : {U'\0', U'a', char32_t{0x7F}, char32_t{0x80}, char32_t{0x7FF},
                        char32_t{0x800}, char32_t{0xD7FF}, char32_t{0xE000},
                        char32_t{0xFFFF}, char32_t{0x10000}, char32_t{0x10FFFF}}) {
    SCOPED_TRACE(static_cast<unsigned>(code));
    std::string bytes;
    AppendUtf8(code, &bytes);
    char32_t back = 0;
    EXPECT_EQ(DecodeUtf8(bytes, &back), static_cast<int>(bytes.size()));
    EXPECT_EQ(back, code);
    std::u16string units;
    AppendUtf16(code, &units);
    EXPECT_EQ(units.size(), code < 0x10000 ? 1u : 2u);
  }
  std::u16string pair;
  AppendUtf16(0x1F600, &pair);
  EXPECT_EQ(pair, u"\U0001F600");
}

}  // namespace
