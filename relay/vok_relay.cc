// vok_relay.cc -- relays multicast session announcements by unicast to registered clients.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>

#include "EventsDismisser.h"
#include "VokListner.h"
#include "cache.h"
#include "network/net.h"
#include "request.h"
#include "shutdown.h"

// Logs the quit line and ends the process with status 1.
[[noreturn]] void done(int) {
  syslog(LOG_DEBUG, "vok_relay server quit");
  exit(1);
}

namespace {

const char kGroup[] = "224.2.127.254";
const int kAnnouncePort = 9875;
const int kRequestPort = 6012;
const char kAnnounceTtl = 16;
const int kCapacity = 4;
const int kDatagramMax = 2048;
const time_t kWaitSeconds = 120;
// Room for a burst of 2000 full datagrams while the loop is busy (a replay
// blocks it for seconds); where the system grants less, bursts lose more.
const int kAnnounceBuffer = 2000 * (kDatagramMax + 256);

// Points descriptors 0 to 2 at /dev/null, so that no stray trace line or
// error text can land in a socket or the log connection that would
// otherwise take their numbers. False when /dev/null cannot be opened.
bool detach_std_fds() {
  for (int fd = 0; fd <= 2; ++fd)
    close(fd);
  const int null = open("/dev/null", O_RDWR);
  return null == 0 && dup2(0, 1) == 1 && dup2(0, 2) == 2;
}

// Everything the relay sends leaves from port 6012 of this host, so a
// datagram from there is its own output coming back (a client named after
// this host, or the group itself): relaying it again would go round forever.
bool is_own_output(const sockaddr_in& from) {
  return from.sin_port == htons(kRequestPort) && net_is_local_addr(from.sin_addr.s_addr);
}

void relay_announcement(int sd_fd, EventsDismisser& ed, char* buffer) {
  sockaddr_in from;
  const int n = net_read_buf_from(sd_fd, buffer, kDatagramMax, &from);
  if (n <= 0) {
    perror("sd_read");
    return;
  }
  if (!is_own_output(from))
    ed.send_event(buffer, n);
}

void serve_request(int request_fd, EventsDismisser& ed, int loadcache, char* buffer) {
  const int n = net_read_buf(request_fd, buffer, kDatagramMax);
  if (n < 0) {
    perror("request_read");
    return;
  }
  buffer[n] = '\0';
  Request r;
  switch (apply_request(buffer, ed, kAnnouncePort, &r)) {
    case RequestResult::kAdmitted: {
      const int len = snprintf(buffer, kDatagramMax + 1, "Reply Invite_vok_relay %s", r.name);
      net_write(request_fd, r.name, kRequestPort, buffer, len);
      if (loadcache)
        load_cache(request_fd, *ed.at(ed.count() - 1));  // the one just admitted
      syslog(LOG_DEBUG, "a new client [%s]", r.name);
      break;
    }
    case RequestResult::kRemoved:
      syslog(LOG_DEBUG, "client [%s] quit", r.name);
      break;
    case RequestResult::kIgnored:
      break;
  }
}

[[noreturn]] void listen_pass_sd(int sd_fd, int request_fd, EventsDismisser& ed, int loadcache) {
  char buffer[kDatagramMax + 1];  // one spare byte to end a request's text
  const int highest = std::max({0, sd_fd, request_fd});
  for (;;) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(sd_fd, &ready);
    FD_SET(request_fd, &ready);
    const timespec bound = {kWaitSeconds, 0};
    if (wait_readable(highest + 1, &ready, &bound) <= 0)
      continue;
    if (FD_ISSET(sd_fd, &ready))
      relay_announcement(sd_fd, ed, buffer);
    if (FD_ISSET(request_fd, &ready))
      serve_request(request_fd, ed, loadcache, buffer);
  }
}

}  // namespace

int main(int argc, char** argv) {
  shutdown_init(done);
  const bool usage = argc == 2 && strcmp(argv[1], "-h") == 0;
  // The usage text goes to whoever asked for it, not to /dev/null.
  const int usage_fd = usage ? fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3) : -1;
  const bool detached = detach_std_fds();
  openlog("tavi-K", LOG_PID, LOG_USER);
  syslog(LOG_DEBUG, "vok_relay server start");
  if (!detached) {
    syslog(LOG_DEBUG, "cannot open /dev/null");
    exit(1);
  }
  if (usage) {
    static const char text[] = "Usage: vok_relay [-loadcache]\n";
    if (usage_fd >= 0 && write(usage_fd, text, sizeof text - 1) < 0)
      exit(1);
    exit(0);
  }
  // Standard output is /dev/null now: formatting a trace line for every send
  // would be work for nothing on the relay's busiest path.
  VokListner::trace = nullptr;
  int loadcache = 0;
  if (argc == 2 && strcmp(argv[1], "-loadcache") == 0) {
    syslog(LOG_DEBUG, "enable loading cache");
    loadcache = 1;
  }
  const int sd_fd = net_open(kGroup, kAnnouncePort, kAnnounceTtl);
  if (sd_fd < 0) {
    syslog(LOG_DEBUG, "cannot open socket for listening sd\n");
    exit(0);
  }
  net_rcvbuf(sd_fd, kAnnounceBuffer);
  const int request_fd = net_open(nullptr, kRequestPort, 0);
  if (request_fd < 0) {
    syslog(LOG_DEBUG, "cannot open socket to listen to request");
    exit(0);
  }
  EventsDismisser ed(kCapacity, request_fd);
  if (argc == 3)
    ed.new_listener(VokListner::make(argv[1], atoi(argv[2])));
  listen_pass_sd(sd_fd, request_fd, ed, loadcache);
}
