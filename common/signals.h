// signals.h -- the program's waits, with signals taken only there so none is lost: SIGINT,
// SIGTERM and SIGHUP end it, SIGUSR1 asks for its statistics; and the clock they run on.
#ifndef VOK_COMMON_SIGNALS_H
#define VOK_COMMON_SIGNALS_H

#include <sys/select.h>
#include <time.h>

// Blocks the four signals and installs a handler that only records them;
// quit (which must not return) is called with the signal from the next wait.
// Without quit, the caller asks quit_signal() after each wait.
void shutdown_init(void (*quit)(int sig));

// pselect with the signals let through; when a quitting one has arrived,
// calls quit. Returns pselect's result otherwise (-1 on failure, and then the
// set is not to be read).
int wait_readable(int nfds, fd_set* readfds, long long timeout_ms);

// The monotonic clock the waits are measured with, in milliseconds.
long long now_ms();

// The quitting signal that has arrived, or 0.
int quit_signal();

// True once for each time SIGUSR1 arrived since the last call.
bool stats_requested();

#endif
