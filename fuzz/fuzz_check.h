// Failure reporting shared by the fuzz targets: a broken promise aborts, which libFuzzer records
// as a crash with its input and the replay runner reports as a failed test.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace ravmolt::checks {

[[noreturn]] inline void fail(std::string_view target, std::string_view what) {
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(target.size()), target.data(),
               static_cast<int>(what.size()), what.data());
  std::abort();
}

}  // namespace ravmolt::checks
