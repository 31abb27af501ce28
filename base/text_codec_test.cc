// Conversions between the locale's 8-bit text and UTF-16 under UTF-8 and
// C, checked against the C library and round-tripped for every byte string
// where decoding changes its mind.
#include "base/text_codec.h"

#include <clocale>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/scoped_locale.h"

namespace {

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
    out += ' ';
  }
  return out;
}

std::string Hex(std::u16string_view text) {
  std::string out;
  char buffer[8];
  for (char16_t u : text) {
    snprintf(buffer, sizeof buffer, "%04x ", static_cast<unsigned>(u));
    out += buffer;
  }
  return out;
}

struct WidenCase {
  const char* name;
  std::string_view bytes;
  std::u16string_view utf8;     // WidenText under C.UTF-8
  std::u16string_view c;        // WidenText under C
};

const WidenCase kWidenCases[] = {
    {"ascii", "/pw:abc", u"/pw:abc", u"/pw:abc"},
    {"nul inside", std::string_view("a\0b", 3), std::u16string_view(u"a\0b", 3),
     std::u16string_view(u"a\0b", 3)},
    {"two-byte", "\xc3\xa9", u"\u00e9", u"\xdcc3\xdca9"},
    {"last BMP character", "\xef\xbf\xbf", u"\uffff", u"\xdcef\xdcbf\xdcbf"},
    // The low half of this pair lies in the escape range; it is still a
    // character, not an escaped byte.
    {"astral pair", "\xf0\x9f\x92\x80", u"\U0001F480",
     u"\xdcf0\xdc9f\xdc92\xdc80"},
    {"lone latin-1 byte", "a\xe9z", u"a\xdce9z", u"a\xdce9z"},
    // U+DC80 written in UTF-8 is not valid UTF-8, so it cannot pass for the
    // escaped byte 0x80.
    {"encoded surrogate", "\xed\xb2\x80", u"\xdced\xdcb2\xdc80",
     u"\xdced\xdcb2\xdc80"},
    {"overlong slash", "\xc0\xaf", u"\xdcc0\xdcaf", u"\xdcc0\xdcaf"},
    {"overlong three-byte", "\xe0\x80\xaf", u"\xdce0\xdc80\xdcaf",
     u"\xdce0\xdc80\xdcaf"},
    {"above U+10FFFF", "\xf4\x90\x80\x80", u"\xdcf4\xdc90\xdc80\xdc80",
     u"\xdcf4\xdc90\xdc80\xdc80"},
    {"truncated at end", "ab\xe2\x82", u"ab\xdce2\xdc82",
     u"ab\xdce2\xdc82"},
    {"truncated before ascii", "\xe2\x82" "A", u"\xdce2\xdc82" "A",
     u"\xdce2\xdc82" "A"},
    {"stray continuation", "\x80\xbf", u"\xdc80\xdcbf", u"\xdc80\xdcbf"},
};

TEST(TextCodec, WidenTextTableUnderUtf8AndC) {
  for (const WidenCase& row : kWidenCases) {
    SCOPED_TRACE(row.name);
    {
      ScopedLocale locale("C.UTF-8");
      ASSERT_TRUE(locale.ok);
      std::u16string wide = WidenText(row.bytes);
      EXPECT_EQ(Hex(wide), Hex(row.utf8)) << "C.UTF-8";
      EXPECT_EQ(Hex(NarrowText(wide)), Hex(row.bytes)) << "C.UTF-8";
    }
    {
      ScopedLocale locale("C");
      std::u16string wide = WidenText(row.bytes);
      EXPECT_EQ(Hex(wide), Hex(row.c)) << "C";
      EXPECT_EQ(Hex(NarrowText(wide)), Hex(row.bytes)) << "C";
    }
  }
}

struct NarrowCase {
  const char* name;
  std::u16string_view text;
  std::string_view utf8;  // NarrowText under C.UTF-8
  std::string_view c;     // NarrowText under C
};

const NarrowCase kNarrowCases[] = {
    {"ascii", u"admin", "admin", "admin"},
    {"latin", u"\u00e9t\u00e9", "\xc3\xa9t\xc3\xa9", "?t?"},
    // One "?" for the character, not one for each of its two units.
    {"astral pair", u"x\U0001F480y", "x\xf0\x9f\x92\x80y", "x?y"},
    {"escaped bytes", u"\xdc80\xdcff", "\x80\xff", "\x80\xff"},
    {"lone high surrogate", u"\xd800" "a", "?a", "?a"},
    {"high surrogate at end", u"a\xdbff", "a?", "a?"},
    {"low surrogate below the escapes", u"\xdc7f", "?", "?"},
    {"low surrogate above the escapes", u"\xdd00", "?", "?"},
};

TEST(TextCodec, NarrowTextTableUnderUtf8AndC) {
  for (const NarrowCase& row : kNarrowCases) {
    SCOPED_TRACE(row.name);
    {
      ScopedLocale locale("C.UTF-8");
      ASSERT_TRUE(locale.ok);
      EXPECT_EQ(Hex(NarrowText(row.text)), Hex(row.utf8)) << "C.UTF-8";
    }
    {
      ScopedLocale locale("C");
      EXPECT_EQ(Hex(NarrowText(row.text)), Hex(row.c)) << "C";
    }
  }
}

// Every string of up to four bytes drawn from the bytes where UTF-8 decoding
// changes its mind, so each boundary of the validity rules is crossed.
std::vector<std::string> BoundaryByteStrings() {
  static const unsigned char kBytes[] = {
      0x00, 0x20, 0x41, 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf,
      0xc0, 0xc1, 0xc2, 0xdf, 0xe0, 0xed, 0xef, 0xf0, 0xf4, 0xf5, 0xff};
  std::vector<std::string> strings = {""};
  size_t begin = 0;
  for (int length = 1; length <= 4; ++length) {
    size_t end = strings.size();
    for (size_t i = begin; i < end; ++i) {
      for (unsigned char b : kBytes) {
        strings.push_back(strings[i] + static_cast<char>(b));
      }
    }
    begin = end;
  }
  return strings;
}

TEST(TextCodec, EveryByteStringRoundTripsUnderUtf8AndC) {
  std::vector<std::string> strings = BoundaryByteStrings();
  for (int b = 0; b < 256; ++b) {
    for (int c = 0; c < 256; ++c) {
      strings.push_back({static_cast<char>(b), static_cast<char>(c)});
    }
  }
  for (const char* name : {"C.UTF-8", "C"}) {
    SCOPED_TRACE(name);
    ScopedLocale locale(name);
    ASSERT_TRUE(locale.ok);
    for (const std::string& bytes : strings) {
      std::string back = NarrowText(WidenText(bytes));
      if (back != bytes) {
        ADD_FAILURE() << Hex(bytes) << "came back as " << Hex(back);
        break;
      }
    }
  }
}

// The UTF-8 fast path must decide exactly as the C library does (less the
// code points above U+10FFFF that glibc lets through).
TEST(TextCodec, Utf8FastPathAgreesWithTheCLibrary) {
  ScopedLocale locale("C.UTF-8");
  ASSERT_TRUE(locale.ok);
  for (const std::string& bytes : BoundaryByteStrings()) {
    std::u16string fast = WidenText(bytes);
    std::u16string slow = WidenTextByLocale(bytes);
    if (fast != slow) {
      ADD_FAILURE() << Hex(bytes) << ": " << Hex(fast) << "vs " << Hex(slow);
      break;
    }
  }
  for (char32_t u = 0; u <= 0xFFFF; ++u) {
    std::u16string text = {static_cast<char16_t>(u), u'a'};
    if (NarrowText(text) != NarrowTextByLocale(text)) {
      ADD_FAILURE() << "unit " << Hex(text);
      break;
    }
  }
  std::u16string pairs = u"\U00010000\U0001F480\U0010FFFF";
  EXPECT_EQ(Hex(NarrowText(pairs)), Hex(NarrowTextByLocale(pairs)));
}

TEST(TextCodec, WidenTextMappedGivesTheByteOffsetOfEachUnit) {
  ScopedLocale locale("C.UTF-8");
  ASSERT_TRUE(locale.ok);
  std::vector<size_t> offsets;
  std::u16string wide =
      WidenTextMapped("a\xc3\xa9\xf0\x9f\x92\x80\xff", &offsets);
  EXPECT_EQ(Hex(wide), Hex(u"a\u00e9\U0001F480\xdcff"));
  EXPECT_EQ(offsets, (std::vector<size_t>{0, 1, 3, 3, 7}));
}

}  // namespace
