#ifndef BASE_WIPE_H_
#define BASE_WIPE_H_

#include <cstddef>
#include <cstring>
#include <string>

/// Overwrites memory that held a secret with zeros, in a way the compiler
/// cannot drop as a dead store. explicit_bzero is not on every platform the
/// program builds for; this works wherever GCC or Clang does.
inline void WipeBytes(void* data, size_t size) {
  if (data == nullptr || size == 0) return;
  std::memset(data, 0, size);
  // The empty statement claims to read the memory, so the writes stay.
  __asm__ __volatile__("" : : "r"(data) : "memory");
}

/// Wipes a text that held a secret, then empties it.
inline void Wipe(std::string* text) {
  WipeBytes(text->data(), text->size());
  text->clear();
}

inline void Wipe(std::u16string* text) {
  WipeBytes(text->data(), text->size() * sizeof(char16_t));
  text->clear();
}

#endif  // BASE_WIPE_H_
