// shutdown.h -- SIGINT and SIGTERM end the program, taken only while it waits, so none is lost.
#ifndef VOK_RELAY_SHUTDOWN_H
#define VOK_RELAY_SHUTDOWN_H

#include <sys/select.h>
#include <time.h>

// Blocks SIGINT and SIGTERM and installs a handler that only records them;
// quit (which must not return) is called with the signal from the next wait.
void shutdown_init(void (*quit)(int sig));

// pselect with the two signals let through; when one has arrived, calls quit.
// Returns pselect's result otherwise (-1 on failure, and then the set is not
// to be read).
int wait_readable(int nfds, fd_set* readfds, const timespec* timeout);

#endif
