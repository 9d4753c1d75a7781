// The part of HelperThread that is the same on every system: POSIX threads, which MinGW-w64's
// runtime provides on Windows too. Starting one, with its processors and signals, and counting
// the processors are in threads_posix.cpp and threads_win32.cpp.
#include "engine/platform/threads.h"

namespace ravmolt {

void* HelperThread::run(void* self) {
  const auto* thread = static_cast<const HelperThread*>(self);
  thread->work_(thread->context_);
  return nullptr;
}

void HelperThread::join() {
  if (!started_) return;
  ::pthread_join(thread_, nullptr);
  started_ = false;
}

}  // namespace ravmolt
