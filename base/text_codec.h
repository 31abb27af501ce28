#ifndef BASE_TEXT_CODEC_H_
#define BASE_TEXT_CODEC_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Conversions between the 8-bit text of the locale's encoding (set with
// setlocale(LC_ALL, "") at start-up; UTF-8 on a normal system) and UTF-16.
// A byte that is not valid in that encoding is carried as the lone surrogate
// U+DC80 + (byte - 0x80) and turned back into the same byte, so every byte
// string survives WidenText followed by NarrowText unchanged.

/// Whether the locale's 8-bit encoding is UTF-8 (on Windows: whether the
/// ANSI code page is).
bool LocaleIsUtf8();

/// Decodes 8-bit text into UTF-16 (precomposed as given; no normalisation).
std::u16string WidenText(std::string_view bytes);

/// Encodes UTF-16 into 8-bit text; a character the encoding cannot represent
/// becomes "?".
std::string NarrowText(std::u16string_view text);

/// WidenText that also gives, for each UTF-16 unit of the result, the offset
/// in bytes of the character it came from (both units of a surrogate pair
/// get the same offset).
std::u16string WidenTextMapped(std::string_view bytes,
                               std::vector<size_t>* unitOffsets);

/// The same conversions always done by mbrtowc and wcrtomb; WidenText and
/// NarrowText take a faster way of their own when the encoding is UTF-8.
std::u16string WidenTextByLocale(std::string_view bytes);
std::string NarrowTextByLocale(std::u16string_view text);

#endif  // BASE_TEXT_CODEC_H_
