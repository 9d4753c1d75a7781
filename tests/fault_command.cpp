// Arms the fault simulator in a build of the command for the fault sweep: RAVMOLT_FAULT holds the
// plan (tests/fault_simulator.h's format), and at the end of the run the number of calls of each
// class goes to the file that RAVMOLT_FAULT_COUNTS names, one line each.
#include <cstdio>
#include <cstdlib>

#include "tests/fault_simulator.h"

namespace {

__attribute__((constructor)) void armFromEnvironment() {
  ravmolt::faults::Plan plan;
  const char* text = std::getenv("RAVMOLT_FAULT");
  if (text != nullptr) ravmolt::faults::parse(text, plan);
  ravmolt::faults::arm(plan);
}

__attribute__((destructor)) void reportCounts() {
  ravmolt::faults::disarm();
  const char* path = std::getenv("RAVMOLT_FAULT_COUNTS");
  if (path == nullptr) return;
  if (std::FILE* out = std::fopen(path, "w")) {
    for (std::size_t call = 0; call < ravmolt::faults::kCallClasses; ++call) {
      std::fprintf(out, "%zu\n", ravmolt::faults::calls(static_cast<ravmolt::faults::Call>(call)));
    }
    std::fclose(out);
  }
}

}  // namespace
