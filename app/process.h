// What the command does about the process it runs in, which the library leaves to its programs:
// signals, and where standard output goes.
#pragma once

namespace ravmolt::app {

// A failed write is reported instead of ending the process (a pipe whose reader has gone, a
// file grown past `ulimit -f`); SIGINT, SIGTERM and SIGHUP remove the incomplete destination of
// the run in progress, then end the process by the same signal, so that shells report it as
// theirs. A signal the command was started with ignored (nohup, a background job) stays ignored.
void handleSignals();

// True when `path` names the file that standard output writes to, which restored bytes would
// then be mixed into.
bool isStandardOutput(const char* path);

}  // namespace ravmolt::app
