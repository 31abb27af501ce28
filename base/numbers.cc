#include "base/numbers.h"

#include <cfenv>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

// A decimal number whose leading digit stands at 10^4932 or higher
// overflows; at 10^-4934 or lower it is 0.
constexpr int64_t kDecimalLimit = 4933;
// Exponent digits beyond this are read as this.
constexpr int kMaxExponent = 9999;
// Digits after these only move the decimal exponent; 18 digits stay below
// 10^18 and so are exact in 64 bits.
constexpr int kSignificantDigits = 18;
constexpr int kLargestTabulatedPower = 4096;
constexpr size_t kPortTextCapacity = 32;

// 10^0 ... 10^7, exact in any format.
constexpr long double kSmallPowers[8] = {1e0L, 1e1L, 1e2L, 1e3L,
                                         1e4L, 1e5L, 1e6L, 1e7L};

// 10^(8 * 2^i), each the nearest value of the format (the compiler rounds
// decimal literals correctly). Where long double is too narrow for the
// large ones they are infinite, as the product would be anyway.
#if LDBL_MAX_10_EXP >= 4096
#define SWK_POW10_WIDE(literal) literal
#else
#define SWK_POW10_WIDE(literal) HUGE_VALL
#endif
constexpr long double kBinaryPowers[10] = {
    1e8L,
    1e16L,
    1e32L,
    1e64L,
    1e128L,
    1e256L,
    SWK_POW10_WIDE(1e512L),
    SWK_POW10_WIDE(1e1024L),
    SWK_POW10_WIDE(1e2048L),
    SWK_POW10_WIDE(1e4096L),
};
#undef SWK_POW10_WIDE

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

// 10^k for 0 <= k <= 4950, one rounding per product, lowest bit first and
// the 10^4096 set aside multiplied last. Beyond the format's range the
// masked overflow gives infinity.
long double PowerOfTen(int k) {
  bool setAside = false;
  if (k > kLargestTabulatedPower) {
    setAside = true;
    k -= kLargestTabulatedPower;
  }
  long double power = kSmallPowers[k % 8];
  int bits = k / 8;
  for (int i = 0; bits != 0; ++i, bits >>= 1) {
    if (bits & 1) power *= kBinaryPowers[i];
  }
  if (setAside) power *= kBinaryPowers[9];
  return power;
}

// The value of a digit 0-9, A-Z or a-z (10 to 35), or -1.
int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  return -1;
}

// text[i] is the byte after "&".
long double ReadBasedInteger(std::string_view text, size_t i) {
  const size_t n = text.size();
  int base = 8;
  int shift = 3;
  if (i < n) {
    char c = text[i];
    if (c == 'H' || c == 'h') {
      base = 16, shift = 4, ++i;
    } else if (c == 'O' || c == 'o' || c == 'Q' || c == 'q') {
      ++i;
    } else if (c == 'B' || c == 'b') {
      base = 2, shift = 1, ++i;
    }
    // Any other byte is not consumed: it is read as the first octal digit.
  }

  uint64_t v = 0;
  bool firstDigitZero = false;
  size_t digits = 0;
  for (; i < n; ++i) {
    int d = DigitValue(text[i]);
    if (d < 0 || d >= base) break;
    if (digits == 0) firstDigitZero = (d == 0);
    ++digits;
    // A set bit shifted out of the 64 bits makes the whole number 0.
    if ((v >> (64 - shift)) != 0) return 0;
    v = (v << shift) | static_cast<uint64_t>(d);
  }
  if (digits == 0) return 0;

  int ampersands = 0;
  bool question = false;
  if (i < n) {
    if (text[i] == '&') {
      ampersands = (i + 1 < n && text[i + 1] == '&') ? 2 : 1;
    } else if (text[i] == '?') {
      question = true;
    }
    // "%" and the further "?" bytes are consumed too, but nothing is read
    // after the suffix, so they need no more than this.
  }

  constexpr uint64_t k2To15 = uint64_t{1} << 15;
  constexpr uint64_t k2To16 = uint64_t{1} << 16;
  constexpr uint64_t k2To31 = uint64_t{1} << 31;
  constexpr uint64_t k2To32 = uint64_t{1} << 32;
  constexpr uint64_t k2To63 = uint64_t{1} << 63;
  int64_t value;
  if (question) {
    value = v >= k2To63 ? 0 : static_cast<int64_t>(v);
  } else if (firstDigitZero || v >= k2To32) {
    value = static_cast<int64_t>(v);  // two's complement
  } else if (ampersands == 2) {
    value = static_cast<int64_t>(v);
  } else if (v >= k2To16) {
    // 32-bit: the high half of 2^31 and above is negative.
    value = v >= k2To31 ? static_cast<int64_t>(v) - static_cast<int64_t>(k2To32)
                        : static_cast<int64_t>(v);
  } else if (ampersands == 1) {
    value = static_cast<int64_t>(v);
  } else {
    // 16-bit: 2^15 and above is negative.
    value = v >= k2To15 ? static_cast<int64_t>(v) - static_cast<int64_t>(k2To16)
                        : static_cast<int64_t>(v);
  }
  return static_cast<long double>(value);
}

// text[i] is the first byte after the blanks.
long double ReadDecimal(std::string_view text, size_t i) {
  const size_t n = text.size();
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const long double zero = negative ? -0.0L : 0.0L;

  uint64_t m = 0;               // the first 18 significant digits
  int64_t significant = 0;      // all significant digits
  int64_t significantBefore = 0;  // of them, before the point
  int64_t zerosAfterPoint = 0;  // between the point and the first one
  bool point = false;
  bool anyDigit = false;
  for (; i < n; ++i) {
    char c = text[i];
    if (IsDecimalDigit(c)) {
      anyDigit = true;
      if (significant == 0 && c == '0') {
        if (point) ++zerosAfterPoint;
        continue;
      }
      if (significant < kSignificantDigits) {
        m = m * 10 + static_cast<uint64_t>(c - '0');
      }
      ++significant;
      if (!point) ++significantBefore;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }

  int64_t exponent = 0;
  if (anyDigit && i < n &&
      (text[i] == 'E' || text[i] == 'e' || text[i] == 'D' || text[i] == 'd')) {
    ++i;
    bool exponentNegative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
      exponentNegative = text[i] == '-';
      ++i;
    }
    for (; i < n && IsDecimalDigit(text[i]); ++i) {
      exponent = exponent * 10 + (text[i] - '0');
      if (exponent > kMaxExponent) exponent = kMaxExponent;
    }
    if (exponentNegative) exponent = -exponent;
  }

  if (significant == 0) return zero;

  int64_t pointPosition = !point              ? significant
                          : significantBefore > 0 ? significantBefore
                                                  : -zerosAfterPoint;
  int64_t leading = pointPosition + exponent;
  if (leading >= kDecimalLimit) {
    const long double overflow = 0x1p127L;
    return negative ? -overflow : overflow;
  }
  if (leading <= -kDecimalLimit) return zero;

  int64_t counted = significant < kSignificantDigits ? significant
                                                     : kSignificantDigits;
  int64_t e = leading - counted;  // |e| <= 4950
  // m < 10^18 < 2^63: exact in the 64-bit significand.
  long double significand = static_cast<long double>(m);
  long double result;
  if (e >= 0) {
    result = significand * PowerOfTen(static_cast<int>(e));
  } else {
    // A divisor of 10^4933 or more is infinite, and the quotient 0.
    result = significand / PowerOfTen(static_cast<int>(-e));
  }
  return negative ? -result : result;
}

// The bytes before the first zero byte, without copying them.
std::string_view FixedTextView(const char* buffer, size_t capacity) {
  const void* end = std::memchr(buffer, 0, capacity);
  size_t length = end != nullptr
                      ? static_cast<size_t>(static_cast<const char*>(end) - buffer)
                      : capacity;
  return std::string_view(buffer, length);
}

}  // namespace

void StoreFixedText(std::string_view text, char* buffer, size_t capacity) {
  if (capacity == 0) return;
  size_t limit = text.size() < capacity - 1 ? text.size() : capacity - 1;
  size_t k = 0;
  for (; k < limit; ++k) {
    buffer[k] = text[k];
    if (text[k] == '\0') return;  // the copied zero byte is the terminator
  }
  buffer[k] = '\0';
}

std::string ReadFixedText(const char* buffer, size_t capacity) {
  return std::string(FixedTextView(buffer, capacity));
}

long double TextToNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (i == text.size()) return 0;
  if (text[i] == '&') return ReadBasedInteger(text, i + 1);
  return ReadDecimal(text, i);
}

int64_t RoundToInteger(long double value) {
  constexpr int64_t kOutOfRange = INT64_MIN;
  // Written so that NaN fails the test too. Below -2^63 every value gives
  // -2^63, rounded or not, which is also the out-of-range answer.
  if (!(value < 0x1p63L && value >= -0x1p63L)) return kOutOfRange;
  // Truncation and the remainder are exact here in any binary format, so the
  // result does not depend on the current rounding mode.
  int64_t whole = static_cast<int64_t>(value);
  long double fraction = value - static_cast<long double>(whole);
  if (fraction > 0.5L || (fraction == 0.5L && (whole & 1) != 0)) {
    // 2^63 - 0.5 rounds (to even) up to 2^63, which is out of range.
    if (whole == INT64_MAX) return kOutOfRange;
    ++whole;
  } else if (fraction < -0.5L || (fraction == -0.5L && (whole & 1) != 0)) {
    --whole;
  }
  return whole;
}

int32_t PortFromText(std::string_view text) {
  FixedText<kPortTextCapacity> portText;
  StoreFixedText(text, &portText);
  // Read in place: the same bytes ReadFixedText gives, with no allocation
  // that could fail.
  long double number = TextToNumber(FixedTextView(portText.bytes, portText.kCapacity));
  uint64_t bits = static_cast<uint64_t>(RoundToInteger(number));
  return static_cast<int32_t>(static_cast<uint32_t>(bits & 0xFFFFFFFFu));
}

void SetFloatingPointMode() {
#if defined(__i386__) || defined(__x86_64__)
  // x87: exceptions masked (0x3F), 64-bit significand (0x300), round to
  // nearest even (0x000); 0x1000 is the obsolete affine-infinity bit.
  const uint16_t x87Control = 0x133F;
  __asm__ volatile("fldcw %0" : : "m"(x87Control));
  // SSE: the power-on default, nearest even and all exceptions masked,
  // without flush-to-zero.
  const uint32_t mxcsr = 0x1F80;
  __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
#else
  std::fesetround(FE_TONEAREST);
#endif
}

bool ParseDecimal(std::string_view text, int64_t low, int64_t high, int64_t* value) {
  if (text.empty()) return false;
  int64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
    // A number past the limit is refused before it can grow.
    if (number > high) return false;
  }
  if (number < low) return false;
  *value = number;
  return true;
}
