#include <windows.h>

#include <bit>

#include "engine/platform/threads.h"

namespace ravmolt {
namespace {

// The processors the process may run on, as a mask within its processor group; 0 when unknown.
DWORD_PTR processMask() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  return ::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) ? process : 0;
}

}  // namespace

unsigned processorsAvailable() {
  if (const DWORD_PTR mask = processMask(); mask != 0) {
    return static_cast<unsigned>(std::popcount(static_cast<unsigned long long>(mask)));
  }
  const DWORD active = ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return active > 0 ? static_cast<unsigned>(active) : 1;
}

void letOthersRun() { (void)::SwitchToThread(); }

// Windows has no signals to keep from the helper: console interrupts come on a thread of their
// own. The helper is kept off the creator's processor as on Linux, once it exists.
bool HelperThread::start(void (*work)(void*), void* context) {
  if (started_) return false;
  work_ = work;
  context_ = context;
  started_ = ::pthread_create(&thread_, nullptr, &HelperThread::run, this) == 0;
  if (!started_) return false;
  DWORD_PTR elsewhere = processMask();
  const DWORD here = ::GetCurrentProcessorNumber();
  if (here < sizeof(DWORD_PTR) * 8) elsewhere &= ~(DWORD_PTR{1} << here);
  if (elsewhere != 0) (void)::SetThreadAffinityMask(::pthread_gethandle(thread_), elsewhere);
  return true;
}

}  // namespace ravmolt
