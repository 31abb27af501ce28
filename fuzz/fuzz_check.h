#ifndef FUZZ_FUZZ_CHECK_H_
#define FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

// A broken invariant is a finding: libFuzzer saves the input on abort.
#define FUZZ_CHECK(condition)                                             \
  do {                                                                    \
    if (!(condition)) {                                                   \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__,     \
                   __LINE__, #condition);                                 \
      std::abort();                                                       \
    }                                                                     \
  } while (false)

#endif  // FUZZ_FUZZ_CHECK_H_
