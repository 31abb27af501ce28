#ifndef TESTING_SCOPED_LOCALE_H_
#define TESTING_SCOPED_LOCALE_H_

#include <clocale>

/// Sets the whole locale for one test and puts "C" back afterwards.
struct ScopedLocale {
  explicit ScopedLocale(const char* name) {
    ok = setlocale(LC_ALL, name) != nullptr;
  }
  ~ScopedLocale() { setlocale(LC_ALL, "C"); }
  bool ok;
};

#endif  // TESTING_SCOPED_LOCALE_H_
