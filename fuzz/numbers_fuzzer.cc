// Numeric text conversion on arbitrary bytes: no fault on any text, plain
// short decimals exactly as strtold reads them, "&" numbers always whole,
// rounding within half a unit, and fixed text buffers never overrun.

#include <fuzzer/FuzzedDataProvider.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "base/numbers.h"
#include "fuzz/fuzz_check.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// [+-]digits[.digits][e[+-]digit] with at most 18 digits in all and a
// one-digit exponent: the value is an integer below 10^18 times 10^k with
// |k| <= 27, and 10^k is exact in the 64-bit significand, so one correctly
// rounded operation gives it, as strtold does.
bool IsPlainShortDecimal(std::string_view text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  int digits = 0;
  bool point = false;
  for (; i < text.size(); ++i) {
    if (IsDigit(text[i])) {
      ++digits;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0 || digits > 18) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (i >= text.size() || !IsDigit(text[i])) return false;
    ++i;
  }
  return i == text.size();
}

bool SameValue(long double a, long double b) {
  return a == b && std::signbit(a) == std::signbit(b);
}

void CheckRounding(long double value) {
  const int64_t rounded = RoundToInteger(value);
  // 2^63 - 0.5 is a tie that goes to the even 2^63, out of range.
  if (!(value < 0x1p63L - 0.5L && value >= -0x1p63L)) {
    FUZZ_CHECK(rounded == INT64_MIN);
    return;
  }
  // Both are within 2^63, so the difference is exact.
  const long double off = static_cast<long double>(rounded) - value;
  FUZZ_CHECK(off <= 0.5L && off >= -0.5L);
  if (off == 0.5L || off == -0.5L) FUZZ_CHECK(rounded % 2 == 0);
}

void CheckFixedText(std::string_view text, size_t capacity) {
  // A buffer of exactly capacity bytes, its contents garbage but for a
  // known byte, so a write past it or a read of what was not stored shows.
  std::unique_ptr<char[]> buffer(new char[capacity]);
  std::memset(buffer.get(), 0x5A, capacity);
  StoreFixedText(text, buffer.get(), capacity);
  const size_t zero = text.find('\0');
  std::string_view expected = text.substr(0, zero);
  if (expected.size() > capacity - 1) expected = expected.substr(0, capacity - 1);
  FUZZ_CHECK(ReadFixedText(buffer.get(), capacity) == expected);
  FUZZ_CHECK(buffer[expected.size()] == '\0');
  for (size_t i = expected.size() + 1; i < capacity; ++i) {
    FUZZ_CHECK(buffer[i] == 0x5A);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The program's mode; strtold below runs in it too.
  std::setlocale(LC_ALL, "C");
  SetFloatingPointMode();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  const long double number = TextToNumber(text);
  CheckRounding(number);

  if (IsPlainShortDecimal(text)) {
    FUZZ_CHECK(SameValue(number, std::strtold(text.c_str(), nullptr)));
  }

  size_t start = text.find_first_not_of(" \t\r\n");
  if (start != std::string::npos && text[start] == '&') {
    // "&" numbers are whole and within 64 bits.
    FUZZ_CHECK(number == std::trunc(number));
    FUZZ_CHECK(number >= -0x1p63L && number < 0x1p63L);
  }

  const int32_t port = PortFromText(text);
  // Only the first 31 bytes up to a zero byte count.
  const std::string stored = text.substr(0, std::min(text.find('\0'), size_t{31}));
  FUZZ_CHECK(port == PortFromText(stored));
  if (stored.size() <= 9 && !stored.empty() &&
      stored.find_first_not_of("0123456789") == std::string::npos) {
    FUZZ_CHECK(port == std::atoi(stored.c_str()));
  }

  if (size >= sizeof(long double)) {
    // Any bit pattern, the x87 format's invalid encodings included.
    long double raw;
    std::memcpy(&raw, data, sizeof raw);
    CheckRounding(raw);
  }

  FuzzedDataProvider input(data, size);
  CheckFixedText(text, input.ConsumeIntegralInRange<size_t>(1, 40));
  return 0;
}
