// Platform: the processors the process may use, and the helper thread of the two-thread decoder.
#pragma once

#include <pthread.h>

namespace ravmolt {

// The processors this process may run on (its affinity mask), at least 1.
unsigned processorsAvailable();

// Tells the processor, inside a spin loop, that the thread is waiting.
inline void pauseWhileSpinning() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  asm volatile("yield");
#endif
}

// Gives the processor to another thread for a moment, inside a wait for one. Async-signal-safe.
void letOthersRun();

// A thread that runs `work(context)` once. It runs only on processors other than the one its
// creator is on, where the process may use another: the scheduler once stacked the two threads on
// one processor and took milliseconds to part them, while the other processor idled.
class HelperThread {
 public:
  HelperThread() = default;
  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;
  ~HelperThread() { join(); }

  // False when no thread could be started; `work` has then not run.
  [[nodiscard]] bool start(void (*work)(void* context), void* context);
  // Waits for `work` to return. Does nothing when no thread was started.
  void join();

 private:
  static void* run(void* self);

  void (*work_)(void*) = nullptr;
  void* context_ = nullptr;
  pthread_t thread_{};
  bool started_ = false;
};

}  // namespace ravmolt
