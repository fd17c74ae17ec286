// Minimal assertion counting for the core test program.
#pragma once

#include <cstdio>

namespace velkor::testing {

struct Tally {
  int passed = 0;
  int failed = 0;
};

inline Tally& tally() {
  static Tally t;
  return t;
}

// Prints the totals in the form "N passed, M failed"; the exit status.
inline int finish() {
  std::printf("%d passed, %d failed\n", tally().passed, tally().failed);
  return tally().failed == 0 ? 0 : 1;
}

}  // namespace velkor::testing

#define CHECK_MSG(cond, ...)                                                  \
  do {                                                                        \
    if (cond) {                                                               \
      ++::velkor::testing::tally().passed;                                    \
    } else {                                                                  \
      ++::velkor::testing::tally().failed;                                    \
      std::fprintf(stderr, "%s:%d: CHECK(%s) failed: ", __FILE__, __LINE__, #cond); \
      std::fprintf(stderr, __VA_ARGS__);                                      \
      std::fprintf(stderr, "\n");                                             \
    }                                                                         \
  } while (0)

#define CHECK(cond) CHECK_MSG(cond, "%s", "")
