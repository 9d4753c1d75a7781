#include <signal.h>

#include "app/process.h"
#include "ravmolt/ravmolt.h"

namespace ravmolt::app {
namespace {

// Only async-signal-safe calls: the library's clean-up is one. The disposition is already back to
// the default (SA_RESETHAND), so the raised signal ends the process once this returns.
extern "C" void endBySignal(int signal) {
  discardIncompleteDestinations();
  ::raise(signal);
}

// Every signal whose default action ends the process and that comes from outside it: from a
// user, another program, a timer or a limit. The ones a fault of the program itself raises
// (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS) are left at their default.
constexpr int kEnding[] = {
    SIGINT,    SIGTERM,   SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,
    SIGALRM,   SIGVTALRM, SIGPROF, SIGXCPU, SIGPOLL,
#if defined(SIGPWR)
    SIGPWR,
#endif
#if defined(SIGSTKFLT)
    SIGSTKFLT,
#endif
};

void endBySignalWhenDefault(int signal, const sigset_t& all) {
  struct sigaction current {};
  if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
      (current.sa_flags & SA_SIGINFO) != 0) {
    return;  // ignored at start (nohup, a background job), or someone's own handler
  }
  struct sigaction action {};
  action.sa_handler = endBySignal;
  action.sa_mask = all;  // one clean-up at a time
  action.sa_flags = SA_RESETHAND;
  (void)::sigaction(signal, &action, nullptr);
}

}  // namespace

void handleInterrupts() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  sigset_t all;
  sigfillset(&all);
  for (const int signal : kEnding) endBySignalWhenDefault(signal, all);
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) endBySignalWhenDefault(signal, all);
}

}  // namespace ravmolt::app

int main(int argc, char** argv) { return ravmolt::app::runCommand(argc, argv); }
