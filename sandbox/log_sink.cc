// log_sink.cc -- the sandbox's /dev/log, read by whoever checks the daemon's log lines.
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "sandbox.h"

LogSink::LogSink() : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  sockaddr_un sa = {};
  sa.sun_family = AF_UNIX;
  snprintf(sa.sun_path, sizeof sa.sun_path, "/dev/log");
  unlink(sa.sun_path);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0)
    die("bind /dev/log");
}

LogSink::~LogSink() {
  close(fd_);
  unlink("/dev/log");
}

bool LogSink::next(LogLine* line, int timeout_ms) {
  char buf[4096];
  if (!readable(fd_, timeout_ms))
    return false;
  const ssize_t n = recv(fd_, buf, sizeof buf - 1, 0);
  if (n <= 0)
    return false;
  const std::string raw(buf, static_cast<size_t>(n));
  // "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE"
  *line = LogLine();
  int pri = -1, used = 0;
  if (sscanf(raw.c_str(), "<%d>%n", &pri, &used) != 1) {
    line->msg = raw;
    return true;
  }
  line->priority = pri;
  const size_t tag = static_cast<size_t>(used) + 16;  // past the time stamp
  const size_t open = raw.find('[', tag), colon = raw.find("]: ", tag);
  if (tag > raw.size() || open == std::string::npos || colon == std::string::npos) {
    line->msg = raw.substr(static_cast<size_t>(used));
    return true;
  }
  line->ident = raw.substr(tag, open - tag);
  line->pid = atoi(raw.c_str() + open + 1);
  line->msg = raw.substr(colon + 3);
  return true;
}

std::vector<std::string> LogSink::drain(int quiet_ms) {
  std::vector<std::string> msgs;
  LogLine line;
  while (next(&line, quiet_ms))
    msgs.push_back(line.msg);
  return msgs;
}

