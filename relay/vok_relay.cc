// vok_relay.cc -- relays multicast session announcements by unicast to registered clients.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "EventsDismisser.h"
#include "VokListner.h"
#include "clients_file.h"
#include "fanout.h"
#include "local_addrs.h"
#include "log.h"
#include "network/net.h"
#include "request.h"
#include "resolver.h"
#include "sessions.h"
#include "shutdown.h"

// Logs the quit line and ends the process with status 1.
[[noreturn]] void done(int) {
  log_line("vok_relay server quit");
  exit(1);
}

namespace {

const char kGroup[] = "224.2.127.254";
const int kAnnouncePort = 9875;
const int kRequestPort = 6012;
const char kAnnounceTtl = 16;
const int kCapacity = 4;
const int kDatagramMax = Fanout::kDatagramMax;
const long long kWaitMs = 120 * 1000;
const long long kRefreshMs = 60 * 1000;  // names are looked up again this often
const long long kRetryMs = 5 * 1000;     // and this often while they have no address
const long long kReplayPauseMs = 1000;
// Room for a burst of 2000 full datagrams while the loop is busy; where the
// system grants less, bursts lose more.
const int kAnnounceBuffer = 2000 * (kDatagramMax + 256);

// What the statistics report besides each listener's own counts.
struct Totals {
  unsigned long received, own_output, cut, admitted, refused, ignored, unreachable;
};

struct Relay {
  int sd_fd;
  int request_fd;
  EventsDismisser* ed;
  bool loadcache;
  Resolver resolver;
  LocalAddrs local;
  std::string clients_file;  // "" when registrations cannot be kept
  Totals totals;
  long long started;
};

Fanout fanout;      // 128 KB of buffers: not on the stack
Sessions sessions;  // remembered only with -loadcache, for new clients

long long now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// Every listener the relay offers its registry is a VokListner.
VokListner& client(const EventsDismisser& ed, int i) { return static_cast<VokListner&>(*ed.at(i)); }

// Points descriptors 0 to 2 at /dev/null, so that no stray error text can
// land in a socket that would otherwise take their numbers. False when
// /dev/null cannot be opened.
bool detach_std_fds() {
  for (int fd = 0; fd <= 2; ++fd)
    close(fd);
  const int null = open("/dev/null", O_RDWR);
  return null == 0 && dup2(0, 1) == 1 && dup2(0, 2) == 2;
}

// Everything the relay sends leaves from port 6012 of this host, so a
// datagram from there is its own output coming back (a client named after
// this host, or the group itself): relaying it again would go round forever.
bool is_own_output(const Relay& r, const sockaddr_in& from) {
  return from.sin_port == htons(kRequestPort) && r.local.has(from.sin_addr.s_addr);
}

// The per-datagram path: a batch in, every copy out in order of arrival,
// each to the listeners in order of admission.
void relay_announcements(Relay& r, long long now) {
  const int n = fanout.receive(r.sd_fd);
  if (n < 0)
    perror("sd_read");
  for (int i = 0; i < n; ++i) {
    ++r.totals.received;
    r.totals.cut += fanout.cut(i);
    if (is_own_output(r, fanout.from(i))) {
      ++r.totals.own_output;
      continue;
    }
    if (r.loadcache)
      sessions.remember(fanout.data(i), fanout.length(i), now);
    if (fanout.room() < r.ed->count())
      fanout.flush(r.request_fd, now);
    for (int k = 0; k < r.ed->count(); ++k)
      fanout.queue(i, &client(*r.ed, k));
  }
  fanout.flush(r.request_fd, now);
}

// Writes the invited listeners to the clients file, in order of admission.
void keep_clients(Relay& r) {
  if (r.clients_file.empty())
    return;
  std::vector<KeptClient> kept;
  for (int k = 0; k < r.ed->count(); ++k) {
    if (client(*r.ed, k).kept)
      kept.push_back({client(*r.ed, k).get_id(), client(*r.ed, k).get_port()});
  }
  if (!write_clients(r.clients_file, kept)) {
    log_line("cannot keep clients in %s", r.clients_file.c_str());
    r.clients_file.clear();  // said once
  }
}

// A lookup has answered (addr 0: the name did not resolve). A new client's
// reply goes out now that its address is known, and its replay starts.
void found(Relay& r, VokListner& l, in_addr_t addr, long long now) {
  l.resolving = false;
  l.set_address(addr);
  const sockaddr_in* to = l.destination();
  l.next_lookup = now + (to != nullptr ? kRefreshMs : kRetryMs);
  if (l.stage != VokListner::kNew)
    return;
  if (to != nullptr) {
    char reply[64];
    const int len = snprintf(reply, sizeof reply, "Reply Invite_vok_relay %s", l.get_id());
    sockaddr_in dest = *to;
    dest.sin_port = htons(kRequestPort);
    sendto(r.request_fd, reply, static_cast<size_t>(len), 0,
           reinterpret_cast<const sockaddr*>(&dest), sizeof dest);
    if (r.loadcache) {
      l.replay.start(&sessions, now);
      l.stage = VokListner::kReplaying;
      l.replay_due = now;
      return;
    }
  }
  l.stage = VokListner::kServed;
  log_line("a new client [%s]", l.get_id());
}

// Looks l's name up: a dotted quad at once, any other name on the resolver.
void look_up(Relay& r, VokListner& l, long long now) {
  l.looked_up = now;
  const in_addr_t quad = inet_addr(l.get_id());
  if (quad != INADDR_NONE) {
    found(r, l, quad, now);
    return;
  }
  l.resolving = true;
  r.resolver.lookup(l.serial, l.get_id());
}

void take_lookups(Relay& r, long long now) {
  unsigned tag;
  in_addr_t addr;
  while (r.resolver.take(&tag, &addr)) {
    for (int k = 0; k < r.ed->count(); ++k) {
      if (client(*r.ed, k).serial == tag) {
        found(r, client(*r.ed, k), addr, now);
        break;
      }
    }
  }
}

// Removes the listeners that refusals show to be gone.
void take_refusals(Relay& r, long long now) {
  for (int i = 0; i < fanout.refusal_count(); ++i) {
    const sockaddr_in& refused = fanout.refusal(i);
    for (int k = 0; k < r.ed->count(); ++k) {
      VokListner& l = client(*r.ed, k);
      const sockaddr_in* to = l.destination();
      if (to == nullptr || to->sin_addr.s_addr != refused.sin_addr.s_addr ||
          to->sin_port != refused.sin_port || !l.refused(now))
        continue;
      Listener* gone = nullptr;
      r.ed->remove_listener(l.get_id(), &gone);
      ++r.totals.unreachable;
      keep_clients(r);
      log_line("client [%s] unreachable, removed", gone->get_id());
      delete gone;
      break;
    }
  }
  fanout.clear_refusals();
}

void serve_requests(Relay& r, long long now) {
  // Refusals wake the loop through this socket, and the first read after one
  // fails with it: read them first.
  fanout.read_errors(r.request_fd);
  char buffer[kDatagramMax + 1];  // one spare byte to end a request's text
  // A bounded drain, so that announcements keep their turn under a flood.
  for (int i = 0; i < Fanout::kBatch; ++i) {
    const ssize_t n = recv(r.request_fd, buffer, kDatagramMax, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK)
        return;
      if (errno != ECONNREFUSED && errno != EHOSTUNREACH && errno != ENETUNREACH)
        perror("request_read");
      continue;
    }
    buffer[n] = '\0';
    Request req;
    switch (apply_request(buffer, *r.ed, kAnnouncePort, &req)) {
      case RequestResult::kAdmitted: {
        ++r.totals.admitted;
        VokListner& l = client(*r.ed, r.ed->count() - 1);  // the one just admitted
        l.admitted = now;
        keep_clients(r);
        look_up(r, l, now);
        break;
      }
      case RequestResult::kRefused:
        ++r.totals.refused;
        break;
      case RequestResult::kRemoved:
        keep_clients(r);
        log_line("client [%s] quit", req.name);
        break;
      case RequestResult::kIgnored:
        ++r.totals.ignored;
        break;
    }
  }
}

// One log line per listener, then the totals.
void log_stats(const Relay& r, long long now) {
  for (int k = 0; k < r.ed->count(); ++k) {
    const VokListner& l = client(*r.ed, k);
    char addr[INET_ADDRSTRLEN] = "no address";
    if (const sockaddr_in* to = l.destination())
      inet_ntop(AF_INET, &to->sin_addr, addr, sizeof addr);
    log_line("client [%s] at %s port %d for %lld s: relayed %lu datagrams of %lu bytes, "
             "send failures %lu, refusals %lu, replay %s",
             l.get_id(), addr, l.get_port(), (now - l.admitted) / 1000, l.relayed,
             l.relayed_bytes, l.send_failures, l.refusals,
             l.stage == VokListner::kReplaying ? "running" : "none");
  }
  const Totals& t = r.totals;
  log_line("up %lld s: received %lu datagrams, relayed %lu, dropped as own output %lu, "
           "cut to 2048 bytes %lu; requests admitted %lu, refused %lu, ignored %lu; "
           "removed as unreachable %lu; log lines lost %ld",
           (now - r.started) / 1000, t.received, fanout.relayed(), t.own_output, t.cut,
           t.admitted, t.refused, t.ignored, t.unreachable, log_lost());
}

// Runs every lookup and replay step that is due; when the next one is.
long long run_timers(Relay& r, long long now) {
  long long next = now + kWaitMs;
  for (int k = 0; k < r.ed->count(); ++k) {
    VokListner& l = client(*r.ed, k);
    if (!l.resolving && l.next_lookup <= now)
      look_up(r, l, now);
    if (l.stage == VokListner::kReplaying && l.replay_due <= now) {
      if (l.replay.step(r.request_fd, l)) {
        l.replay_due = now + kReplayPauseMs;
      } else {
        l.stage = VokListner::kServed;
        log_line("a new client [%s]", l.get_id());
      }
    }
    if (!l.resolving)
      next = std::min(next, l.next_lookup);
    if (l.stage == VokListner::kReplaying)
      next = std::min(next, l.replay_due);
  }
  return next;
}

// The clients kept by the last run, in their order, each logged and looked up: ready to be
// admitted without reply or replay. Names the command line's listener has are passed over.
std::vector<VokListner*> restore_clients(Relay& r, const VokListner* cmdline) {
  const std::string path = clients_path();
  r.clients_file = path.empty() ? "$HOME/.vok/clients" : path;
  if (path.empty()) {
    log_line("cannot keep clients in %s", r.clients_file.c_str());
    r.clients_file.clear();
  }
  std::vector<VokListner*> restored;
  const int room = kCapacity - (cmdline != nullptr);
  for (const KeptClient& c : read_clients(path, room)) {
    VokListner* l = VokListner::make(c.name.c_str(), c.port);
    bool again = cmdline != nullptr && strcmp(c.name.c_str(), cmdline->get_id()) == 0;
    for (const VokListner* other : restored)
      again = again || strcmp(c.name.c_str(), other->get_id()) == 0;
    if (again) {
      delete l;
      continue;
    }
    l->stage = VokListner::kServed;
    l->admitted = r.started;
    log_line("client [%s] restored", l->get_id());
    look_up(r, *l, r.started);
    restored.push_back(l);
  }
  return restored;
}

[[noreturn]] void listen_pass_sd(Relay& r) {
  const int highest = std::max({r.sd_fd, r.request_fd, r.resolver.fd(), r.local.fd()});
  for (;;) {
    long long now = now_ms();
    const long long wait_ms = std::max(0LL, run_timers(r, now) - now);
    fd_set ready;
    FD_ZERO(&ready);
    for (int fd : {r.sd_fd, r.request_fd, r.resolver.fd(), r.local.fd()}) {
      if (fd >= 0)
        FD_SET(fd, &ready);
    }
    const timespec wait = {static_cast<time_t>(wait_ms / 1000), (wait_ms % 1000) * 1000000L};
    const int n = wait_readable(highest + 1, &ready, &wait);
    now = now_ms();
    if (stats_requested())
      log_stats(r, now);
    if (n <= 0)
      continue;
    // Address changes first, so the loop guard knows them before the datagrams.
    if (r.local.fd() >= 0 && FD_ISSET(r.local.fd(), &ready))
      r.local.refresh();
    // Addresses found first, so the datagrams of this wake-up reach them.
    if (FD_ISSET(r.resolver.fd(), &ready))
      take_lookups(r, now);
    if (FD_ISSET(r.sd_fd, &ready))
      relay_announcements(r, now);
    if (FD_ISSET(r.request_fd, &ready))
      serve_requests(r, now);
    // Refusals read while sending, or from the request socket.
    take_refusals(r, now);
  }
}

}  // namespace

int main(int argc, char** argv) {
  shutdown_init(done);
  const bool usage = argc == 2 && strcmp(argv[1], "-h") == 0;
  // The usage text goes to whoever asked for it, not to /dev/null.
  const int usage_fd = usage ? fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3) : -1;
  const bool detached = detach_std_fds();
  log_open("tavi-K");
  log_line("vok_relay server start");
  if (!detached) {
    log_line("cannot open /dev/null");
    exit(1);
  }
  if (usage) {
    static const char text[] = "Usage: vok_relay [-loadcache]\n";
    if (usage_fd >= 0 && write(usage_fd, text, sizeof text - 1) < 0)
      exit(1);
    exit(0);
  }
  Relay r = {};
  r.started = now_ms();
  r.loadcache = argc == 2 && strcmp(argv[1], "-loadcache") == 0;
  if (r.loadcache)
    log_line("enable loading cache");
  if (!r.resolver.open()) {
    log_line("cannot start the resolver");
    exit(1);
  }
  // The command-line listener's lookup, and the kept clients', start before the
  // ports open, so that they have answered by the time the first announcement
  // can arrive.
  VokListner* cmdline = argc == 3 ? VokListner::make(argv[1], atoi(argv[2])) : nullptr;
  if (cmdline != nullptr) {
    cmdline->stage = VokListner::kServed;  // no reply, no replay, no log line
    cmdline->kept = false;                 // it comes from the command line each time
    cmdline->admitted = r.started;
    look_up(r, *cmdline, r.started);
  }
  const std::vector<VokListner*> restored = restore_clients(r, cmdline);
  r.sd_fd = net_open(kGroup, kAnnouncePort, kAnnounceTtl);
  if (r.sd_fd < 0) {
    log_line("cannot open socket for listening sd\n");
    exit(0);
  }
  net_rcvbuf(r.sd_fd, kAnnounceBuffer);
  // Only the SAP group: by default a socket bound to all addresses also gets
  // every group any other program on this host has joined.
  const int off = 0;
  setsockopt(r.sd_fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
  r.request_fd = net_open(nullptr, kRequestPort, 0);
  if (r.request_fd < 0) {
    log_line("cannot open socket to listen to request");
    exit(0);
  }
  // Refusals of what it sends come back to this socket's error queue.
  const int on = 1;
  setsockopt(r.request_fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
  EventsDismisser ed(kCapacity, r.request_fd);
  r.ed = &ed;
  ed.new_listener(cmdline);  // the first, always admitted
  for (VokListner* l : restored)
    ed.new_listener(l);
  keep_clients(r);  // whether the file can be written is known from here on
  r.local.open();
  listen_pass_sd(r);
}
