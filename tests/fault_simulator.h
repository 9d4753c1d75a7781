// A fault simulator for test programs: link-time wrappers (-Wl,--wrap) around the allocations and
// the system calls that the engine's io/ and platform/ layers make, and a replacement of the
// global operator new. Each call class counts its calls; a plan makes the Nth call of one class
// fail, once or from then on, with a realistic error or a short count. Nothing here is part of
// the shipped library.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ravmolt::faults {

// The calls counted, each class one kind of call as the engine sees it.
enum class Call {
  allocate,  // malloc, operator new
  open,
  fstat,
  read,   // read, pread
  write,  // write, pwrite
  truncate,
  close,
  dup,
  lock,  // flock
  unlink,
  lstat,
  threadStart,  // pthread_create
  affinity,     // sched_getaffinity, sched_getcpu, pthread_attr_setaffinity_np
  count
};
constexpr std::size_t kCallClasses = static_cast<std::size_t>(Call::count);

// How a call fails: with an error (errno), or, for reads and writes, by moving fewer bytes.
struct Fault {
  int error = 0;
  enum class Short { no, oneByte, half } shortCount = Short::no;
  // An interrupted call or a short count must be retried: the run's outcome may not change.
  bool retryable() const;
  std::string name() const;
};

// The faults that a call of `call` can meet, each tried in turn at every point.
const std::vector<Fault>& faultsOf(Call call);
const char* nameOf(Call call);

struct Plan {
  Call call = Call::allocate;
  std::size_t at = 0;  // 1-based; 0 injects nothing
  Fault fault;
  bool persistent = false;  // the Nth call and every later one of its class
};

// Starts counting from zero with `plan` armed; disarm() stops both. Between the two, every call of
// the wrapped functions is counted, whichever thread makes it.
void arm(const Plan& plan);
void disarm();
std::size_t calls(Call call);
// Whether the planned fault was injected at least once since arm().
bool injected();

// A plan written as text and back, for handing one to a command run through its environment.
std::string format(const Plan& plan);
bool parse(const std::string& text, Plan& plan);

}  // namespace ravmolt::faults
