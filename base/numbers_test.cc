// Numbers read from text exactly, bit for bit, whatever the floating-point
// mode; ports, bounded decimals, and fixed-size text buffers.
#include "base/numbers.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_view_literals;

// The x87 extended format: 64-bit significand (explicit leading bit), then
// sign and 15-bit exponent; the other bytes of a long double are padding.
constexpr bool kExtended = LDBL_MANT_DIG == 64 && LDBL_MAX_EXP == 16384;

struct Extended {
  uint16_t signExponent;
  uint64_t significand;
  bool operator==(const Extended&) const = default;
};

Extended BitsOf(long double value) {
  unsigned char bytes[sizeof(long double)] = {};
  std::memcpy(bytes, &value, sizeof value);
  Extended bits = {};
  std::memcpy(&bits.significand, bytes, 8);
  std::memcpy(&bits.signExponent, bytes + 8, 2);
  return bits;
}

std::string Show(Extended bits) {
  char text[64];
  std::snprintf(text, sizeof text, "%04x:%016" PRIx64, bits.signExponent,
                bits.significand);
  return text;
}

// Same value and same sign of zero; in the extended format the same 80 bits.
void ExpectSameNumber(long double expected, long double actual) {
  if (kExtended) {
    EXPECT_EQ(Show(BitsOf(expected)), Show(BitsOf(actual)))
        << "expected " << expected << ", got " << actual;
  } else {
    EXPECT_EQ(expected, actual);
    EXPECT_EQ(std::signbit(expected), std::signbit(actual));
  }
}

std::string Repeat(char c, size_t n) { return std::string(n, c); }

struct PortCase {
  std::string text;
  long double value;  // TextToNumber of the whole text
  int32_t port;       // PortFromText
};

// The expected values are literals the compiler rounds correctly, or the
// overflow value 2^127; for these texts the conversion rounds once too, so
// the bits must match.
const std::vector<PortCase>& PortCases() {
  static const std::vector<PortCase> cases = {
      {"22", 22.0L, 22},
      {"+22", 22.0L, 22},
      {"22abc", 22.0L, 22},
      {"2e1", 20.0L, 20},
      {"2E1", 20.0L, 20},
      {"2d1", 20.0L, 20},  // D is an exponent letter too
      {"2D1", 20.0L, 20},
      {"22e", 22.0L, 22},  // letter without digits: exponent 0
      {"22e+", 22.0L, 22},
      {"", 0.0L, 0},
      {"   ", 0.0L, 0},
      {" \t\r\n22", 22.0L, 22},
      {"\v22", 0.0L, 0},  // only space, TAB, CR and LF are blanks
      {"abc", 0.0L, 0},
      {"-", -0.0L, 0},
      {".", 0.0L, 0},
      {"0x16", 0.0L, 0},
      {"2 2", 2.0L, 2},
      {"1,000", 1.0L, 1},
      {"2.5.1", 2.5L, 2},
      {"+-5", 0.0L, 0},
      {"- 5", -0.0L, 0},
      {"22.", 22.0L, 22},
      {".5e1", 5.0L, 5},
      {"000.0500e+2", 5.0L, 5},
      {"0.05", 0.05L, 0},
      {"-0", -0.0L, 0},
      // Ties go to the even neighbour.
      {"22.5", 22.5L, 22},
      {"23.5", 23.5L, 24},
      {"0.5", 0.5L, 0},
      {"1.5", 1.5L, 2},
      {"-2.5", -2.5L, -2},
      {"-3.5", -3.5L, -4},
      {"22.49", 22.49L, 22},
      {"22.51", 22.51L, 23},
      {"5e-1", 0.5L, 0},
      {"15e-1", 1.5L, 2},
      {"-22", -22.0L, -22},
      {"-1", -1.0L, -1},
      {"2147483648", 2147483648.0L, INT32_MIN},
      {"4294967318", 4294967318.0L, 22},  // 2^32 + 22 wraps
      {"9223372036854775807e-1", 922337203685477580.0L, -858993460},
      {"1e19", 1e19L, 0},  // past 2^63
      {"-9.3e18", -9.3e18L, 0},
      {"1e5000", 0x1p127L, 0},
      {"-1e5000", -0x1p127L, 0},
      {"1e4932", 0x1p127L, 0},  // leading digit at 10^4932 overflows
      {"0.1e4933", 0x1p127L, 0},
      {"1e99999", 0x1p127L, 0},  // exponent held at 9999
      {"1e-99999", 0.0L, 0},
      {"1e" + Repeat('9', 25), 0x1p127L, 0},
      // The exponent is held at 9999 before the point position is added.
      {"0." + Repeat('0', 9998) + "1e10005", 1.0L, 0},
      {"1e-4934", 0.0L, 0},
      // 1e-4932 is a denormal; 1.2e-4932 needs the divisor 10^4933, which
      // overflows, so the quotient is 0.
      {"1e-4932", 1e-4932L, 0},
      {"1.2e-4932", 0.0L, 0},
      {"-1.2e-4932", -0.0L, 0},
      // Digits after the eighteenth count as zeros, without rounding.
      {"1" + Repeat('9', 18), 1999999999999999990.0L, 1321730038},
      {"0.00" + Repeat('9', 20), 0.00999999999999999999L, 0},
      {"123456789012345678901e-3", 123456789012345678.0L, -1506741426},
      // Based integers.
      {"&H16", 22.0L, 22},
      {"&h16", 22.0L, 22},
      {"&O26", 22.0L, 22},
      {"&o26", 22.0L, 22},
      {"&Q26", 22.0L, 22},
      {"&q26", 22.0L, 22},
      {"&26", 22.0L, 22},  // octal by default
      {"&B10110", 22.0L, 22},
      {"&b10110", 22.0L, 22},
      {" \t&H16 ", 22.0L, 22},
      {"&Hff", 255.0L, 255},
      {"&HFFFF", -1.0L, -1},  // 16-bit
      {"&HFFFF%", -1.0L, -1},
      {"&HFFFF&", 65535.0L, 65535},
      {"&H0FFFF", 65535.0L, 65535},  // a leading 0 reads it as 64-bit
      {"&HFFFF?", 65535.0L, 65535},
      {"&HFFFF??", 65535.0L, 65535},
      {"&HFFFF&&", 65535.0L, 65535},
      {"&H8000", -32768.0L, -32768},
      {"&H8000&", 32768.0L, 32768},
      {"&H7FFF", 32767.0L, 32767},
      {"&H10000", 65536.0L, 65536},
      {"&H7FFFFFFF", 2147483647.0L, INT32_MAX},
      {"&H80000000", -2147483648.0L, INT32_MIN},  // 32-bit
      {"&HFFFFFFFF", -1.0L, -1},
      {"&HFFFFFFFF&", -1.0L, -1},
      {"&HFFFFFFFF&&", 4294967295.0L, -1},
      {"&HFFFFFFFF?", 4294967295.0L, -1},
      {"&H0FFFFFFFF", 4294967295.0L, -1},
      {"&H100000016", 4294967318.0L, 22},
      {"&HFFFFFFFFFFFFFFFF", -1.0L, -1},
      {"&HFFFFFFFFFFFFFFFF?", 0.0L, 0},  // 2^63 or more with "?"
      {"&H7FFFFFFFFFFFFFFF?", 9223372036854775807.0L, -1},
      {"&H8000000000000000", -9223372036854775808.0L, 0},
      {"&H10000000000000000", 0.0L, 0},  // a set bit shifted out
      {"&H0000000000000000000000016", 22.0L, 22},  // zeros never overflow
      {"&O1777777777777777777777", -1.0L, -1},
      {"&O2000000000000000000000", 0.0L, 0},
      // The port reads only 31 bytes of these: 29 and 28 binary digits.
      {"&B" + Repeat('1', 64), -1.0L, 536870911},
      {"&B1" + Repeat('0', 64), 0.0L, 268435456},
      {"&HG", 0.0L, 0},
      {"&9", 0.0L, 0},  // 9 is no octal digit
      {"&", 0.0L, 0},
      {"&H", 0.0L, 0},
      {"&H-1", 0.0L, 0},
      {"-&H16", -0.0L, 0},
      {"+&H16", 0.0L, 0},
      {"&H1G", 1.0L, 1},
      // Only the first 31 bytes of a port text are read.
      {Repeat('0', 29) + "22", 22.0L, 22},
      {Repeat('0', 30) + "22", 22.0L, 2},
      {Repeat('0', 31) + "22", 22.0L, 0},
      {Repeat(' ', 31) + "22", 22.0L, 0},
      // A zero byte ends the text.
      {std::string("22\0" "33", 5), 22.0L, 22},
      {std::string("\0" "22", 3), 0.0L, 0},
  };
  return cases;
}

TEST(NumbersTest, PortTextsConvertToTheExactValueAndPort) {
  SetFloatingPointMode();
  for (const PortCase& c : PortCases()) {
    SCOPED_TRACE("text \"" + c.text + "\"");
    ExpectSameNumber(c.value, TextToNumber(c.text));
    EXPECT_EQ(c.port, PortFromText(c.text));
  }
}

struct BitsCase {
  const char* text;
  Extended bits;
};

// Large powers of ten are built with one rounding per product, lowest bit
// first, 10^4096 last, so they can differ from the correctly rounded value
// in the last bit; a different order or a single exact power gives other
// bits. Patterns computed with exact rational arithmetic.
TEST(NumbersTest, LargePowersRoundOncePerProductInOrder) {
  if (!kExtended) GTEST_SKIP() << "long double is not the x87 extended format";
  SetFloatingPointMode();
  const BitsCase cases[] = {
      {"1e27", {0x4058, 0xcecb8f27f4200f3a}},  // the largest exact power
      {"1e28", {0x405c, 0x813f3978f8940984}},
      // Each tabulated power alone: the nearest value to 10^(8 * 2^i).
      {"1e8", {0x4019, 0xbebc200000000000}},
      {"1e16", {0x4034, 0x8e1bc9bf04000000}},
      {"1e32", {0x4069, 0x9dc5ada82b70b59e}},
      {"1e64", {0x40d3, 0xc2781f49ffcfa6d5}},
      {"1e128", {0x41a8, 0x93ba47c980e98ce0}},
      {"1e256", {0x4351, 0xaa7eebfb9df9de8e}},
      {"1e512", {0x46a3, 0xe319a0aea60e91c7}},
      {"1e1024", {0x4d48, 0xc976758681750c17}},
      {"1e2048", {0x5a92, 0x9e8b3b5dc53d5de5}},
      {"1e4096", {0x7525, 0xc46052028a20979b}},
      {"1e-4096", {0x0ad8, 0xa6dd04c8d2ce9fde}},
      {"1e4000", {0x73e6, 0xd1ba8323fe558c62}},  // correctly rounded: ...61
      {"1e4900", {0x7f94, 0xae9204275937a4c0}},  // correctly rounded: ...c1
      {"1e-4900", {0x0069, 0xbbb4df56baf62973}},  // correctly rounded: ...72
      {"999999999999999999e4914", {0x7ffe, 0xd72cb2a95c7ef6be}},
      {"9.99e4931", {0x7ffe, 0xd6f59cfa9996639d}},
      {"-9.99e4931", {0xfffe, 0xd6f59cfa9996639d}},
      {"1e-4932", {0x0000, 0x261247c8f29357f0}},  // a denormal
      {"1.2e-4932", {0x0000, 0x0000000000000000}},
      {"1.23456789012345678e-4931", {0x0000, 0x0000000000000000}},
      {"1.23456789012345678e317", {0x441c, 0xa3bbf742ddb8606f}},
      {"1e5000", {0x407e, 0x8000000000000000}},  // 2^127
      {"22.49", {0x4003, 0xb3eb851eb851eb85}},
  };
  for (const BitsCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Show(c.bits), Show(BitsOf(TextToNumber(c.text))));
  }
}

TEST(NumbersTest, RoundToIntegerTiesToEvenAndRejectsOutOfRange) {
  struct Case {
    long double value;
    int64_t expected;
  };
  const Case cases[] = {
      {0.0L, 0},
      {-0.0L, 0},
      {0.5L, 0},
      {1.5L, 2},
      {2.5L, 2},
      {-0.5L, 0},
      {-1.5L, -2},
      {0.49999999999999999L, 0},
      {-0.50000000000000001L, -1},
      {4503599627370497.5L, 4503599627370498},
      {0x1p63L - 1, INT64_MAX},
      {0x1p63L - 0.5L, INT64_MIN},
      {0x1p63L - 1.5L, INT64_MAX - 1},
      {-0x1p63L + 0.5L, INT64_MIN},
      {0x1p63L, INT64_MIN},
      {-0x1p63L, INT64_MIN},
      {-0x1p63L - 1, INT64_MIN},
      {0x1p127L, INT64_MIN},
      {-0x1p127L, INT64_MIN},
      {HUGE_VALL, INT64_MIN},
      {-HUGE_VALL, INT64_MIN},
      {std::nanl(""), INT64_MIN},
      {LDBL_TRUE_MIN, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.value);
    EXPECT_EQ(c.expected, RoundToInteger(c.value));
  }
}

// The x87 precision and rounding controls decide the last bits of every
// product; a library called in between may leave them changed.
TEST(NumbersTest, ConversionIsExactAgainAfterModeIsDisturbed) {
#if defined(__i386__) || defined(__x86_64__)
  // 53-bit precision, round toward zero; SSE rounding down with
  // flush-to-zero.
  const uint16_t disturbedControl = 0x0E7F;
  const uint32_t disturbedMxcsr = 0x1F80 | 0x2000 | 0x8000;
  __asm__ volatile("fldcw %0" : : "m"(disturbedControl));
  __asm__ volatile("ldmxcsr %0" : : "m"(disturbedMxcsr));
  Extended disturbed = BitsOf(TextToNumber("22.49"));

  SetFloatingPointMode();
  uint16_t control = 0;
  uint32_t mxcsr = 0;
  __asm__ volatile("fnstcw %0" : "=m"(control));
  __asm__ volatile("stmxcsr %0" : "=m"(mxcsr));
  EXPECT_EQ(0x033F, control & 0x0F3F);  // masks, precision, rounding
  EXPECT_EQ(0x1F80u, mxcsr & 0xFFC0u);  // controls, not the sticky flags
  Extended exact = BitsOf(TextToNumber("22.49"));
  EXPECT_EQ(Show({0x4003, 0xb3eb851eb851eb85}), Show(exact));
  EXPECT_NE(Show(disturbed), Show(exact)) << "the disturbed mode did nothing";
#else
  GTEST_SKIP() << "x86 only";
#endif
}

// Independent path: the C library's conversion and its nearest-even
// rounding. With up to 15 significant digits and small exponents every
// power of ten involved is exact, so a single correct rounding gives both.
TEST(NumbersTest, OrdinaryTextsAgreeWithTheCLibrary) {
  SetFloatingPointMode();
  ASSERT_EQ(0, std::fesetround(FE_TONEAREST));
  std::mt19937_64 random(20240611);  // fixed: the same texts every run
  auto below = [&random](uint64_t n) { return random() % n; };
  int checked = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    if (below(4) == 0) text += below(2) ? " " : "\t ";
    if (below(3) == 0) text += below(2) ? '-' : '+';
    int digits = 1 + static_cast<int>(below(15));
    int leadingZeros = static_cast<int>(below(4));
    // The point: none, or before digit p of the zeros and digits.
    int pointAt = below(3) == 0 ? -1 : static_cast<int>(below(leadingZeros + digits + 1));
    std::string body = Repeat('0', leadingZeros);
    for (int d = 0; d < digits; ++d) body += static_cast<char>('0' + below(10));
    if (pointAt >= 0) body.insert(static_cast<size_t>(pointAt), 1, '.');
    text += body;
    if (below(2) == 0) {
      int exponent = static_cast<int>(below(13)) - 9;  // -9 ... 3
      text += below(2) ? 'e' : 'E';
      if (exponent < 0 || below(2) == 0) text += exponent < 0 ? '-' : '+';
      text += std::to_string(exponent < 0 ? -exponent : exponent);
    }
    if (below(4) == 0) text += below(2) ? " 7" : "x";
    SCOPED_TRACE("text \"" + text + "\"");

    long double reference = std::strtold(text.c_str(), nullptr);
    long double ours = TextToNumber(text);
    ExpectSameNumber(reference, ours);
    long double rounded = std::nearbyintl(reference);
    int64_t expected = rounded >= -0x1p63L && rounded < 0x1p63L
                           ? static_cast<int64_t>(rounded)
                           : INT64_MIN;
    ASSERT_EQ(expected, RoundToInteger(ours));
    ++checked;
  }
  // Halfway cases, where a rounding-mode slip shows.
  for (int n = -2000; n <= 2000; ++n) {
    std::string text = std::to_string(n) + ".5";
    SCOPED_TRACE(text);
    long double reference = std::nearbyintl(std::strtold(text.c_str(), nullptr));
    ASSERT_EQ(static_cast<int64_t>(reference), RoundToInteger(TextToNumber(text)));
  }
  EXPECT_EQ(20000, checked);
}

TEST(NumbersTest, ParseDecimalTakesDigitsOnlyWithinTheRange) {
  const struct {
    const char* text;
    bool accepted;
    int64_t value;
  } kCases[] = {{"1", true, 1},           {"256", true, 256},     {"0007", true, 7},
                {"00000000000000000000256", true, 256},           {"257", false, 0},
                {"0", false, 0},          {"", false, 0},         {"+5", false, 0},
                {"-1", false, 0},         {" 5", false, 0},       {"5 ", false, 0},
                {"1e2", false, 0},        {"0x10", false, 0},
                // Past the limit long before it could overflow.
                {"99999999999999999999999999", false, 0}};
  for (const auto& c : kCases) {
    int64_t value = -1;
    EXPECT_EQ(ParseDecimal(c.text, 1, 256, &value), c.accepted) << "\"" << c.text << "\"";
    EXPECT_EQ(value, c.accepted ? c.value : -1) << "\"" << c.text << "\"";
  }
}

TEST(NumbersTest, StoreFixedTextTouchesNothingAfterTheTerminator) {
  struct Case {
    std::string_view text;
    size_t capacity;
    std::string_view expected;  // the buffer; '#' is a byte left as it was
  };
  const std::string forty = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
  const Case cases[] = {
      {"", 8, "\0#######"sv},
      {"abc", 8, "abc\0####"sv},
      {"abcdefg", 8, "abcdefg\0"sv},
      {"abcdefgh", 8, "abcdefg\0"sv},
      {"ab\0cd"sv, 8, "ab\0#####"sv},  // a copied zero byte ends the copy
      {"\0"sv, 4, "\0###"sv},
      {"abc", 1, "\0"sv},
      {"abc", 3, "ab\0"sv},
      {"abc", 0, ""sv},
      {forty, 32, std::string_view("0123456789abcdefghijklmnopqrstu\0", 32)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\" into "
                                    << c.capacity);
    // Guard bytes past the capacity must stay untouched too.
    std::string buffer(c.capacity + 4, '#');
    StoreFixedText(c.text, buffer.data(), c.capacity);
    EXPECT_EQ(c.expected, std::string_view(buffer).substr(0, c.capacity));
    EXPECT_EQ("####", buffer.substr(c.capacity));
  }
}

TEST(NumbersTest, ReadFixedTextStopsAtZeroOrCapacity) {
  EXPECT_EQ("ab", ReadFixedText("ab\0cd", 5));
  EXPECT_EQ("", ReadFixedText("\0abc", 4));
  EXPECT_EQ("abc", ReadFixedText("abcdef", 3));  // no zero within capacity

  const std::string forty = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
  FixedText<32> fixed;
  StoreFixedText(forty, &fixed);
  EXPECT_EQ(forty.substr(0, 31), ReadFixedText(fixed));
  EXPECT_EQ('\0', fixed.bytes[31]);

  FixedText<128> empty;
  std::memset(empty.bytes, 'x', sizeof empty.bytes);
  StoreFixedText("", &empty);
  EXPECT_EQ("", ReadFixedText(empty));
  EXPECT_EQ('x', empty.bytes[1]);
}

}  // namespace
