// log.h -- the relay's system-log lines, written to /dev/log without ever blocking.
#ifndef VOK_RELAY_LOG_H
#define VOK_RELAY_LOG_H

// Connects to the system log as ident, with the process id in every line and
// facility LOG_USER; a logger that is not there yet is tried again per line.
void log_open(const char* ident);

// Writes one line at LOG_DEBUG. A line the logger cannot take at once (it is
// slow, stopped or gone) is dropped and counted; the next line that gets
// through is preceded by one saying how many were lost.
void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Lines dropped so far.
long log_lost();

#endif
