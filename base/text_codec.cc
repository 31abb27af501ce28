#include "base/text_codec.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <langinfo.h>
#endif

#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "base/utf8.h"

namespace {

#ifndef _WIN32
// mbrtowc and wcrtomb hand over code points only because glibc's wchar_t is
// UCS-4 in every locale.
static_assert(sizeof(wchar_t) >= 4, "wchar_t must hold a whole code point");
#endif

// Byte b (0x80..0xFF) that the encoding rejects travels as U+DC00 + b: a lone
// low surrogate, which no valid text in any encoding decodes to.
constexpr char16_t kEscapeFirst = 0xDC80;
constexpr char16_t kEscapeLast = 0xDCFF;
constexpr char16_t kEscapeBase = 0xDC00;

bool IsHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

#ifdef _WIN32
// The same through the ANSI code page: one byte, or two after a lead byte of
// a double-byte code page. mbstate_t is unused: these pages have no shift
// states.
size_t DecodeByLocale(std::string_view bytes, mbstate_t*, char32_t* cp) {
  const UINT page = GetACP();
  const size_t length = IsDBCSLeadByteEx(page, static_cast<BYTE>(bytes[0])) ? 2 : 1;
  if (bytes.size() < length) return 0;
  wchar_t wide[2];
  const int units =
      MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data(),
                          static_cast<int>(length), wide, 2);
  if (units != 1 || IsHighSurrogate(wide[0]) || IsLowSurrogate(wide[0])) return 0;
  *cp = wide[0];
  return length;
}
#else
// The same through the C library, for whatever encoding the locale has.
size_t DecodeByLocale(std::string_view bytes, mbstate_t* state, char32_t* cp) {
  wchar_t wc = 0;
  size_t length = mbrtowc(&wc, bytes.data(), bytes.size(), state);
  if (length == static_cast<size_t>(-1) || length == static_cast<size_t>(-2)) {
    *state = mbstate_t{};
    return 0;
  }
  char32_t value = static_cast<char32_t>(wc);
  // glibc's UTF-8 decoder lets 0x110000 and above through.
  if (value > 0x10FFFF || IsHighSurrogate(value) || IsLowSurrogate(value)) {
    *state = mbstate_t{};
    return 0;
  }
  *cp = value;
  return length == 0 ? 1 : length;  // 0 stands for the NUL character
}
#endif

std::u16string Widen(std::string_view bytes, bool byLocale,
                     std::vector<size_t>* unitOffsets) {
  std::u16string out;
  out.reserve(bytes.size());
  if (unitOffsets != nullptr) {
    unitOffsets->clear();
    unitOffsets->reserve(bytes.size());
  }
  mbstate_t state{};
  size_t i = 0;
  while (i < bytes.size()) {
    char32_t cp = 0;
    std::string_view rest = bytes.substr(i);
    size_t length = 0;
    if (byLocale) {
      length = DecodeByLocale(rest, &state, &cp);
    } else if (const int taken = DecodeUtf8(rest, &cp); taken > 0) {
      length = static_cast<size_t>(taken);
    }
    if (length == 0) {
      unsigned char b = static_cast<unsigned char>(bytes[i]);
      // Every encoding glibc offers keeps ASCII as it is, so a rejected byte
      // is one of the upper half; were it not, it stays itself.
      cp = b >= 0x80 ? kEscapeBase + b : b;
      length = 1;
    }
    AppendUtf16(cp, &out);
    if (unitOffsets != nullptr) unitOffsets->resize(out.size(), i);
    i += length;
  }
  return out;
}

#ifdef _WIN32
void ResetShiftState(mbstate_t*, std::string*) {}

// A character the code page lacks becomes "?", never a look-alike.
void AppendByLocale(char32_t cp, mbstate_t*, std::string* out) {
  std::u16string wide;  // one or two units: no allocation
  AppendUtf16(cp, &wide);
  char buffer[8];
  BOOL usedDefault = FALSE;
  const int length = WideCharToMultiByte(
      GetACP(), WC_NO_BEST_FIT_CHARS,
      reinterpret_cast<const wchar_t*>(wide.data()),
      static_cast<int>(wide.size()), buffer, sizeof buffer, nullptr,
      &usedDefault);
  if (length <= 0 || usedDefault) {
    out->push_back('?');
    return;
  }
  out->append(buffer, static_cast<size_t>(length));
}
#else
// Brings a stateful encoding back to its initial shift state, so that a raw
// byte or the end of the text follows in a known state. Writes nothing in
// encodings without shift states.
void ResetShiftState(mbstate_t* state, std::string* out) {
  char buffer[MB_LEN_MAX];
  size_t length = wcrtomb(buffer, L'\0', state);
  if (length != static_cast<size_t>(-1) && length > 1) {
    out->append(buffer, length - 1);  // without the NUL itself
  }
  *state = mbstate_t{};
}

void AppendByLocale(char32_t cp, mbstate_t* state, std::string* out) {
  char buffer[MB_LEN_MAX];
  size_t length = wcrtomb(buffer, static_cast<wchar_t>(cp), state);
  if (length == static_cast<size_t>(-1)) {
    *state = mbstate_t{};
    length = wcrtomb(buffer, L'?', state);
    if (length == static_cast<size_t>(-1)) return;
  }
  out->append(buffer, length);
}
#endif

std::string Narrow(std::u16string_view text, bool byLocale) {
  std::string out;
  // Enough for the longest result, so growing never leaves a copy of the
  // text (a password, say) behind in freed memory.
  out.reserve(text.size() * (byLocale ? MB_CUR_MAX : 3) + MB_LEN_MAX);
  mbstate_t state{};
  size_t i = 0;
  while (i < text.size()) {
    char32_t unit = text[i];
    char32_t cp;
    if (IsHighSurrogate(unit) && i + 1 < text.size() &&
        IsLowSurrogate(text[i + 1])) {
      // A pair is decided first: its low half is never an escaped byte.
      cp = 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      i += 2;
    } else {
      ++i;
      if (unit >= kEscapeFirst && unit <= kEscapeLast) {
        if (byLocale) ResetShiftState(&state, &out);
        out.push_back(static_cast<char>(unit - kEscapeBase));
        continue;
      }
      // Any other lone surrogate is no character at all.
      cp = (IsHighSurrogate(unit) || IsLowSurrogate(unit)) ? U'?' : unit;
    }
    if (byLocale) {
      AppendByLocale(cp, &state, &out);
    } else {
      AppendUtf8(cp, &out);
    }
  }
  if (byLocale) ResetShiftState(&state, &out);
  return out;
}

}  // namespace

#ifdef _WIN32
// On Windows 8-bit text is in the system's ANSI code page, whatever the C
// library's locale says.
bool LocaleIsUtf8() { return GetACP() == CP_UTF8; }
#else
bool LocaleIsUtf8() { return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0; }
#endif

std::u16string WidenText(std::string_view bytes) {
  return Widen(bytes, !LocaleIsUtf8(), nullptr);
}

std::string NarrowText(std::u16string_view text) {
  return Narrow(text, !LocaleIsUtf8());
}

std::u16string WidenTextMapped(std::string_view bytes,
                               std::vector<size_t>* unitOffsets) {
  return Widen(bytes, !LocaleIsUtf8(), unitOffsets);
}

std::u16string WidenTextByLocale(std::string_view bytes) {
  return Widen(bytes, true, nullptr);
}

std::string NarrowTextByLocale(std::u16string_view text) {
  return Narrow(text, true);
}
