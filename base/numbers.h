#ifndef BASE_NUMBERS_H_
#define BASE_NUMBERS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

/// A byte buffer of fixed capacity N holding at most N - 1 text bytes and a
/// terminating zero byte. Every text handed to the SSH library passes
/// through one.
template <size_t N>
struct FixedText {
  static_assert(N >= 1);
  char bytes[N] = {};
  static constexpr size_t kCapacity = N;
};

/// Copies at most capacity - 1 bytes of text and a zero byte into buffer;
/// a zero byte inside text ends the copy. Nothing after the terminator is
/// touched.
void StoreFixedText(std::string_view text, char* buffer, size_t capacity);
template <size_t N>
void StoreFixedText(std::string_view text, FixedText<N>* fixed) {
  StoreFixedText(text, fixed->bytes, N);
}

/// The bytes before the first zero byte, looking no further than capacity.
std::string ReadFixedText(const char* buffer, size_t capacity);
template <size_t N>
std::string ReadFixedText(const FixedText<N>& fixed) {
  return ReadFixedText(fixed.bytes, N);
}

/// Reads a decimal or "&"-based number from the start of text, in the x87
/// extended format where long double is that format. Never fails: text that
/// is no number gives 0.
long double TextToNumber(std::string_view text);

/// Rounds to nearest, ties to even; -2^63 outside the signed 64-bit range,
/// and for NaN and infinities.
int64_t RoundToInteger(long double value);

/// The port text through a 32-byte FixedText, TextToNumber and
/// RoundToInteger; the low 32 bits of the result.
int32_t PortFromText(std::string_view text);

/// A whole number from low to high (low >= 0) written in decimal digits
/// only, leading zeros allowed: anything else, a sign, a space or an empty
/// text, is refused. *value is set only when the text is accepted.
bool ParseDecimal(std::string_view text, int64_t low, int64_t high, int64_t* value);

/// Sets the floating-point mode the conversion is exact in: round to nearest
/// even, 64-bit significand precision, all exceptions masked. Called at
/// start-up and after every call into the SSH library.
void SetFloatingPointMode();

#endif  // BASE_NUMBERS_H_
