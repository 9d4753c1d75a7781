// The wrappers behind fault_simulator.h. A program links this file with -Wl,--wrap=NAME for each
// function below (tests/CMakeLists.txt lists them), so that the calls of every object in the link
// reach __wrap_NAME here, and __real_NAME is the C library's.
#include "tests/fault_simulator.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace ravmolt::faults {
namespace {

std::atomic<bool> armed{false};
std::atomic<bool> hit{false};
std::atomic<std::size_t> counters[kCallClasses];
Plan current;

// The fault that this call meets, if any; counts it while armed.
const Fault* decide(Call call) {
  if (!armed.load(std::memory_order_acquire)) return nullptr;
  const std::size_t n = ++counters[static_cast<std::size_t>(call)];
  if (call != current.call || current.at == 0) return nullptr;
  if (n != current.at && !(current.persistent && n > current.at)) return nullptr;
  hit.store(true);
  return &current.fault;
}

// The byte count a short read or write moves instead of `size`.
std::size_t shortened(const Fault& fault, std::size_t size) {
  if (fault.shortCount == Fault::Short::oneByte) return size > 0 ? 1 : 0;
  return size > 1 ? size / 2 : size;
}

}  // namespace

bool Fault::retryable() const { return error == EINTR || shortCount != Short::no; }

std::string Fault::name() const {
  if (shortCount == Short::oneByte) return "one byte";
  if (shortCount == Short::half) return "half";
  switch (error) {
    case ENOMEM:
      return "ENOMEM";
    case EIO:
      return "EIO";
    case ENOSPC:
      return "ENOSPC";
    case EINTR:
      return "EINTR";
    case EAGAIN:
      return "EAGAIN";
    case EMFILE:
      return "EMFILE";
    case ENOLCK:
      return "ENOLCK";
    case EINVAL:
      return "EINVAL";
    default:
      return std::to_string(error);
  }
}

const std::vector<Fault>& faultsOf(Call call) {
  using S = Fault::Short;
  static const std::vector<Fault> table[kCallClasses] = {
      {{ENOMEM}},                                                           // allocate
      {{EMFILE}, {ENOSPC}},                                                 // open
      {{EIO}},                                                              // fstat
      {{EIO}, {EINTR}, {EAGAIN}, {0, S::oneByte}, {0, S::half}},            // read
      {{EIO}, {ENOSPC}, {EINTR}, {EAGAIN}, {0, S::oneByte}, {0, S::half}},  // write
      {{EIO}},                                                              // truncate
      {{EIO}, {EINTR}},                                                     // close
      {{EMFILE}},                                                           // dup
      {{ENOLCK}},                                                           // lock
      {{EIO}},                                                              // unlink
      {{EIO}},                                                              // lstat
      {{EAGAIN}},                                                           // threadStart
      {{EINVAL}},                                                           // affinity
  };
  return table[static_cast<std::size_t>(call)];
}

const char* nameOf(Call call) {
  static const char* const names[kCallClasses] = {
      "allocation", "open",  "fstat",  "read",  "write",        "ftruncate", "close",
      "dup",        "flock", "unlink", "lstat", "thread start", "affinity"};
  return names[static_cast<std::size_t>(call)];
}

void arm(const Plan& plan) {
  armed.store(false);
  current = plan;
  hit.store(false);
  for (auto& counter : counters) counter.store(0);
  armed.store(true, std::memory_order_release);
}

void disarm() { armed.store(false); }

std::size_t calls(Call call) { return counters[static_cast<std::size_t>(call)].load(); }

bool injected() { return hit.load(); }

std::string format(const Plan& plan) {
  char text[96];
  std::snprintf(text, sizeof text, "%zu:%zu:%d:%d:%d", static_cast<std::size_t>(plan.call), plan.at,
                plan.fault.error, static_cast<int>(plan.fault.shortCount), plan.persistent ? 1 : 0);
  return text;
}

bool parse(const std::string& text, Plan& plan) {
  std::size_t call = 0;
  int shortCount = 0;
  int persistent = 0;
  if (std::sscanf(text.c_str(), "%zu:%zu:%d:%d:%d", &call, &plan.at, &plan.fault.error, &shortCount,
                  &persistent) != 5 ||
      call >= kCallClasses) {
    return false;
  }
  plan.call = static_cast<Call>(call);
  plan.fault.shortCount = static_cast<Fault::Short>(shortCount);
  plan.persistent = persistent != 0;
  return true;
}

}  // namespace ravmolt::faults

using ravmolt::faults::Call;
using ravmolt::faults::decide;
using ravmolt::faults::Fault;

extern "C" {
void* __real_malloc(std::size_t size);
int __real_open(const char* path, int flags, ...);
int __real_fstat(int fd, struct stat* info);
int __real_lstat(const char* path, struct stat* info);
ssize_t __real_read(int fd, void* out, std::size_t size);
ssize_t __real_pread(int fd, void* out, std::size_t size, off_t offset);
ssize_t __real_write(int fd, const void* data, std::size_t size);
ssize_t __real_pwrite(int fd, const void* data, std::size_t size, off_t offset);
int __real_ftruncate(int fd, off_t length);
int __real_close(int fd);
int __real_dup(int fd);
int __real_flock(int fd, int operation);
int __real_unlink(const char* path);
int __real_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                          void* (*start)(void*), void* argument);
int __real_sched_getaffinity(pid_t pid, std::size_t size, cpu_set_t* set);
int __real_sched_getcpu();
int __real_pthread_attr_setaffinity_np(pthread_attr_t* attributes, std::size_t size,
                                       const cpu_set_t* set);

// A failed call: errno set, -1 returned.
#define RAVMOLT_FAIL_WITH(fault) (errno = (fault)->error, -1)

void* __wrap_malloc(std::size_t size) {
  if (decide(Call::allocate) != nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  return __real_malloc(size);
}

int __wrap_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  if (const Fault* fault = decide(Call::open)) return RAVMOLT_FAIL_WITH(fault);
  return __real_open(path, flags, mode);
}

int __wrap_fstat(int fd, struct stat* info) {
  if (const Fault* fault = decide(Call::fstat)) return RAVMOLT_FAIL_WITH(fault);
  return __real_fstat(fd, info);
}

int __wrap_lstat(const char* path, struct stat* info) {
  if (const Fault* fault = decide(Call::lstat)) return RAVMOLT_FAIL_WITH(fault);
  return __real_lstat(path, info);
}

ssize_t __wrap_read(int fd, void* out, std::size_t size) {
  const Fault* fault = decide(Call::read);
  if (fault == nullptr) return __real_read(fd, out, size);
  if (fault->shortCount == Fault::Short::no) return RAVMOLT_FAIL_WITH(fault);
  return __real_read(fd, out, ravmolt::faults::shortened(*fault, size));
}

ssize_t __wrap_pread(int fd, void* out, std::size_t size, off_t offset) {
  const Fault* fault = decide(Call::read);
  if (fault == nullptr) return __real_pread(fd, out, size, offset);
  if (fault->shortCount == Fault::Short::no) return RAVMOLT_FAIL_WITH(fault);
  return __real_pread(fd, out, ravmolt::faults::shortened(*fault, size), offset);
}

ssize_t __wrap_write(int fd, const void* data, std::size_t size) {
  const Fault* fault = decide(Call::write);
  if (fault == nullptr) return __real_write(fd, data, size);
  if (fault->shortCount == Fault::Short::no) return RAVMOLT_FAIL_WITH(fault);
  return __real_write(fd, data, ravmolt::faults::shortened(*fault, size));
}

ssize_t __wrap_pwrite(int fd, const void* data, std::size_t size, off_t offset) {
  const Fault* fault = decide(Call::write);
  if (fault == nullptr) return __real_pwrite(fd, data, size, offset);
  if (fault->shortCount == Fault::Short::no) return RAVMOLT_FAIL_WITH(fault);
  return __real_pwrite(fd, data, ravmolt::faults::shortened(*fault, size), offset);
}

int __wrap_ftruncate(int fd, off_t length) {
  if (const Fault* fault = decide(Call::truncate)) return RAVMOLT_FAIL_WITH(fault);
  return __real_ftruncate(fd, length);
}

// As Linux does, a close that reports an error has released the descriptor all the same.
int __wrap_close(int fd) {
  const Fault* fault = decide(Call::close);
  const int closed = __real_close(fd);
  return fault != nullptr ? RAVMOLT_FAIL_WITH(fault) : closed;
}

int __wrap_dup(int fd) {
  if (const Fault* fault = decide(Call::dup)) return RAVMOLT_FAIL_WITH(fault);
  return __real_dup(fd);
}

int __wrap_flock(int fd, int operation) {
  if (const Fault* fault = decide(Call::lock)) return RAVMOLT_FAIL_WITH(fault);
  return __real_flock(fd, operation);
}

int __wrap_unlink(const char* path) {
  if (const Fault* fault = decide(Call::unlink)) return RAVMOLT_FAIL_WITH(fault);
  return __real_unlink(path);
}

int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                          void* (*start)(void*), void* argument) {
  if (const Fault* fault = decide(Call::threadStart)) return fault->error;
  return __real_pthread_create(thread, attributes, start, argument);
}

int __wrap_sched_getaffinity(pid_t pid, std::size_t size, cpu_set_t* set) {
  if (const Fault* fault = decide(Call::affinity)) return RAVMOLT_FAIL_WITH(fault);
  return __real_sched_getaffinity(pid, size, set);
}

int __wrap_sched_getcpu() {
  if (const Fault* fault = decide(Call::affinity)) return RAVMOLT_FAIL_WITH(fault);
  return __real_sched_getcpu();
}

int __wrap_pthread_attr_setaffinity_np(pthread_attr_t* attributes, std::size_t size,
                                       const cpu_set_t* set) {
  if (const Fault* fault = decide(Call::affinity)) return fault->error;
  return __real_pthread_attr_setaffinity_np(attributes, size, set);
}
}  // extern "C"

// The global operator new counts as an allocation too, and fails as the C++ runtime's does.
namespace {
void* allocateOrNull(std::size_t size) {
  if (decide(Call::allocate) != nullptr) return nullptr;
  return __real_malloc(size == 0 ? 1 : size);
}
void* allocateOrThrow(std::size_t size) {
  if (void* memory = allocateOrNull(size)) return memory;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocateOrThrow(size); }
void* operator new[](std::size_t size) { return allocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocateOrNull(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocateOrNull(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
