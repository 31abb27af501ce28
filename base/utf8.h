#ifndef BASE_UTF8_H_
#define BASE_UTF8_H_

#include <string>
#include <string_view>

/// Decodes the UTF-8 character at the start of bytes into *code. Returns its
/// length in bytes; 0 when the bytes there are not one (overlong forms,
/// surrogates and code points above U+10FFFF are refused like any other
/// malformed sequence); -1 when they are a valid beginning cut short, so
/// more bytes may still complete it. Empty bytes give 0.
int DecodeUtf8(std::string_view bytes, char32_t* code);

/// Appends a code point (at most U+10FFFF) in UTF-8.
void AppendUtf8(char32_t code, std::string* out);

/// Appends a code point (at most U+10FFFF) in UTF-16: one unit, or a
/// surrogate pair beyond the BMP.
void AppendUtf16(char32_t code, std::u16string* out);

#endif  // BASE_UTF8_H_
