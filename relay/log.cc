// log.cc -- the relay's system-log lines, written to /dev/log without ever blocking.
// glibc's syslog writes to a blocking socket, so a logger that stops reading
// would stop the relay; this writes the same wire format without waiting.
#include "log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace {

const int kUserDebug = (1 << 3) | 7;  // LOG_USER, LOG_DEBUG

int log_fd = -1;
const char* log_ident = "";
long lost = 0;        // lines dropped in all
long unreported = 0;  // of those, lines no line has told of yet

bool connect_log() {
  if (log_fd < 0)
    log_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un sa = {};
  sa.sun_family = AF_UNIX;
  snprintf(sa.sun_path, sizeof sa.sun_path, "/dev/log");
  return log_fd >= 0 && connect(log_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

// Sends one formatted line; false when the logger did not take it.
bool send_line(const char* msg) {
  char stamp[32];
  const time_t now = time(nullptr);
  tm local;
  strftime(stamp, sizeof stamp, "%b %e %T", localtime_r(&now, &local));
  char line[2048];
  const int n = snprintf(line, sizeof line, "<%d>%s %s[%d]: %s", kUserDebug, stamp, log_ident,
                         static_cast<int>(getpid()), msg);
  const size_t len = n < static_cast<int>(sizeof line) ? static_cast<size_t>(n) : sizeof line - 1;
  if (send(log_fd, line, len, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
    return true;
  // A logger that restarted (or was not there) needs a new connection;
  // a full queue is simply lost.
  if (errno == EAGAIN || errno == EWOULDBLOCK || !connect_log())
    return false;
  return send(log_fd, line, len, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
}

}  // namespace

void log_open(const char* ident) {
  log_ident = ident;
  connect_log();
}

void log_line(const char* format, ...) {
  char msg[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(msg, sizeof msg, format, args);
  va_end(args);
  if (unreported > 0) {
    char note[64];
    snprintf(note, sizeof note, "%ld log lines lost", unreported);
    if (!send_line(note)) {
      ++lost;
      ++unreported;
      return;
    }
    unreported = 0;
  }
  if (!send_line(msg)) {
    ++lost;
    ++unreported;
  }
}

long log_lost() { return lost; }
