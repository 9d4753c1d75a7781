#include <windows.h>

#include <memory>
#include <new>

#include "app/process.h"
#include "engine/platform/wide_path.h"
#include "ravmolt/ravmolt.h"

namespace ravmolt::app {
namespace {

// Runs on a thread of its own while the decode goes on: the clean-up marks a removable
// destination to be deleted as its handles close, and TerminateProcess stops the decoding threads
// and closes them at once, taking no lock that an interrupted thread might hold.
BOOL WINAPI endByInterrupt(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      discardIncompleteDestinations();
      ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
      return TRUE;
  }
  return FALSE;
}

}  // namespace

void handleInterrupts() { (void)::SetConsoleCtrlHandler(&endByInterrupt, TRUE); }

}  // namespace ravmolt::app

// The arguments come as UTF-16 and go on as UTF-8, the library's paths on every system. One that
// cannot be converted (an unpaired surrogate) becomes the empty name, which opens nothing.
int wmain(int argc, wchar_t** argv) {
  const auto arguments = std::unique_ptr<std::unique_ptr<char[]>[]>(
      new (std::nothrow) std::unique_ptr<char[]>[static_cast<std::size_t>(argc)]);
  const auto pointers =
      std::unique_ptr<char*[]>(new (std::nothrow) char*[static_cast<std::size_t>(argc) + 1]);
  if (!arguments || !pointers) return 1;
  static char empty[] = "";
  for (int i = 0; i < argc; ++i) {
    arguments[i] = ravmolt::narrowText(argv[i]);
    pointers[i] = arguments[i] ? arguments[i].get() : empty;
  }
  pointers[argc] = nullptr;
  return ravmolt::app::runCommand(argc, pointers.get());
}
