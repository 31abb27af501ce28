#include "base/utf8.h"

int DecodeUtf8(std::string_view bytes, char32_t* code) {
  if (bytes.empty()) return 0;
  const unsigned char lead = static_cast<unsigned char>(bytes[0]);
  if (lead < 0x80) {
    *code = lead;
    return 1;
  }
  int length;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  char32_t value = lead & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    if (static_cast<size_t>(i) >= bytes.size()) return -1;
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < low || c > high) return 0;
    low = 0x80;
    high = 0xBF;
    value = (value << 6) | (c & 0x3F);
  }
  *code = value;
  return length;
}

void AppendUtf8(char32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

void AppendUtf16(char32_t code, std::u16string* out) {
  if (code < 0x10000) {
    out->push_back(static_cast<char16_t>(code));
  } else {
    code -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
  }
}
