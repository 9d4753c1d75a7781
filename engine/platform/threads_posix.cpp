#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include "engine/platform/threads.h"

namespace ravmolt {

unsigned processorsAvailable() {
#if defined(__GLIBC__)
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    return count > 0 ? static_cast<unsigned>(count) : 1;
  }
#endif
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

void letOthersRun() { (void)::sched_yield(); }

bool HelperThread::start(void (*work)(void*), void* context) {
  if (started_) return false;
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) != 0) return false;
#if defined(__GLIBC__)
  cpu_set_t elsewhere;
  if (::sched_getaffinity(0, sizeof elsewhere, &elsewhere) != 0) CPU_ZERO(&elsewhere);
  const int here = ::sched_getcpu();
  if (here >= 0 && here < CPU_SETSIZE) CPU_CLR(here, &elsewhere);
  if (CPU_COUNT(&elsewhere) > 0) {
    (void)::pthread_attr_setaffinity_np(&attributes, sizeof elsewhere, &elsewhere);
  }
#endif
  work_ = work;
  context_ = context;
  // The helper takes none of the program's signals: they stay with the program's own threads,
  // whose handlers may count on them (the command's clean-up of an interrupted run does).
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  const bool masked = ::pthread_sigmask(SIG_SETMASK, &all, &previous) == 0;
  started_ = ::pthread_create(&thread_, &attributes, &HelperThread::run, this) == 0;
  if (masked) ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ::pthread_attr_destroy(&attributes);
  return started_;
}

}  // namespace ravmolt
