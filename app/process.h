// What the command does about the process it runs in, which the library leaves to its programs:
// its entry, interrupts, and where standard output goes. The entry and the interrupts are the
// platform's own (process_posix.cpp, process_win32.cpp).
#pragma once

namespace ravmolt::app {

// The whole command, with its arguments in UTF-8; returns the exit status. On Windows the entry
// point takes the arguments as UTF-16, so any name the system can hold reaches the command.
int runCommand(int argc, char** argv);

// POSIX: a failed write is reported instead of ending the process (a pipe whose reader has gone, a
// file grown past `ulimit -f`); every signal whose default action ends the process and that comes
// from outside it (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
// SIGXCPU, SIGPOLL, SIGPWR, the real-time ones) removes the incomplete destination of the run in
// progress, then ends the process by the same signal, so that shells report it as theirs. A
// signal the command was started with ignored (nohup, a background job) stays ignored.
// Windows: Ctrl-C, Ctrl-Break, closing the console window, logging off and shutting down remove
// the incomplete destination, then end the process with STATUS_CONTROL_C_EXIT, as Windows ends a
// console program on Ctrl-C.
void handleInterrupts();

// True when `path` names the file that standard output writes to and that file keeps what is
// written to it (a regular file or a block device): restored bytes would be mixed into the console
// text there, or the console text into the source. A terminal or the null device is no such file.
bool isStandardOutput(const char* path);

}  // namespace ravmolt::app
