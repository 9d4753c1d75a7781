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

}  // namespace

void handleInterrupts() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = endBySignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    (void)::sigaction(signal, &action, nullptr);
  }
}

}  // namespace ravmolt::app

int main(int argc, char** argv) { return ravmolt::app::runCommand(argc, argv); }
