// shutdown.h -- SIGINT and SIGTERM end the relay, taken only while it waits, so none is lost.
#ifndef VOK_RELAY_SHUTDOWN_H
#define VOK_RELAY_SHUTDOWN_H

#include <sys/select.h>
#include <time.h>

// Blocks SIGINT and SIGTERM and installs a handler that only records them.
void shutdown_init();

// pselect with the two signals let through; when one arrives the process
// ends through done(). Returns pselect's result otherwise (-1 on failure,
// and then the set is not to be read).
int wait_readable(int nfds, fd_set* readfds, const timespec* timeout);

// Logs the quit line and ends the process with status 1.
[[noreturn]] void done(int sig);

#endif
