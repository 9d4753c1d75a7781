#include "engine/platform/threads.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstring>

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

namespace {

// Tasks ready to run on the whole machine right now, the caller included, or 0 when unknown: the
// number before the slash in the fourth field of /proc/loadavg ("0.42 0.31 0.25 2/187 9321").
unsigned readyTasks() {
#if defined(__linux__)
  const int fd = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[128];
  const ssize_t got = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (got <= 0) return 0;
  text[got] = '\0';
  const char* field = text;
  for (int spaces = 0; spaces < 3 && field != nullptr; ++spaces) {
    field = std::strchr(field, ' ');
    if (field != nullptr) ++field;
  }
  if (field == nullptr) return 0;
  unsigned ready = 0;
  for (; *field >= '0' && *field <= '9'; ++field)
    ready = ready * 10 + static_cast<unsigned>(*field - '0');
  return *field == '/' ? ready : 0;
#else
  return 0;
#endif
}

}  // namespace

bool secondProcessorFree() {
  const unsigned processors = processorsAvailable();
  if (processors < 2) return false;
  const unsigned ready = readyTasks();
  return ready == 0 || ready < processors;
}

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
  started_ = ::pthread_create(&thread_, &attributes, &HelperThread::run, this) == 0;
  ::pthread_attr_destroy(&attributes);
  return started_;
}

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
