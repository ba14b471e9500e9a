// vok_client.cc -- registers this host with a relay, keeps the registration alive, and prints
// each announcement it relays; with -m it also multicasts each one on this host, for the
// session browsers here.
#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "common/address.h"
#include "common/protocol.h"
#include "common/signals.h"
#include "describe.h"
#include "network/net.h"

namespace {

// Invitations go out every kInviteEveryMs until the reply comes: a relay
// whose lookup of NAME is slow, or that cannot resolve it yet, answers when it
// can, and refuses the repeats silently meanwhile. Only after kAfreshMs is a
// reply taken as lost and the registration begun afresh (a Stop, then the
// invitation), once; after kGiveUpMs the client gives up.
const long long kInviteEveryMs = 2000;
const long long kAfreshMs = 12 * 1000;
const long long kGiveUpMs = 25 * 1000;
const long long kKeepAliveMs = 60 * 1000;

const char* relay_host;
std::string name;
sockaddr_in relay = {};  // the relay's port 6012
bool relay_local = false;  // the relay runs on this host
int control_fd = -1;     // port 6012: requests out, replies in, multicast copies out
// The one address the relay's datagrams are taken from: where its answer came
// from. An answer from RELAY's own address (for a relay here, any of this
// host's) is the relay's; one from another address (a relay with several may
// answer from another) is taken only when no answer from RELAY's own comes
// within kInviteEveryMs, so that a stranger's forged answer does not win.
in_addr_t answered_from = INADDR_NONE;
in_addr_t other_answer = INADDR_NONE;  // the first answer from another address
long long other_answer_at = 0;
int refused_in_a_row = 0;  // invitations that ICMP said nobody took
const int kRefusalsToEnd = 3;  // a report can be forged: one is not enough to end
bool invited = false;    // an invitation has gone out: leaving must say so

// Sends "KEYWORD NAME" to the relay; the send's errno, or 0.
int request(const char* keyword) {
  const std::string text = std::string(keyword) + " " + name;
  if (sendto(control_fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&relay),
             sizeof relay) < 0)
    return errno;
  return 0;
}

[[noreturn]] void fail(const std::string& why, int status = 1) {
  fprintf(stderr, "vok_client: %s\n", why.c_str());
  exit(status);
}

// Every way out once the relay may have registered this host goes through
// here, so that it stops sending to nobody.
[[noreturn]] void leave(int status, const std::string& why = "") {
  if (invited)
    request(kStop);
  if (!why.empty())
    fail(why, status);
  exit(status);
}

[[noreturn]] void on_signal(int) { leave(0); }

// True when a socket of this host is bound to exactly addr:port (an address
// of this host's, not all of them): binding beside it would share its traffic.
bool held_exactly(in_addr_t addr, int port) {
  FILE* f = fopen("/proc/net/udp", "re");
  if (f == nullptr)
    return false;
  char line[256];
  bool held = false;
  unsigned long a, p;
  while (!held && fgets(line, sizeof line, f) != nullptr) {
    // "  sl  local_address ...": the address as the kernel holds it, in hex.
    if (sscanf(line, " %*u: %lx:%lx", &a, &p) == 2)
      held = static_cast<in_addr_t>(a) == addr && static_cast<int>(p) == port;
  }
  fclose(f);
  return held;
}

// A UDP socket bound to addr:port, or -1 when it cannot be had. The control
// port is this client's alone, so that a second client, or a relay, cannot
// take its traffic: on all addresses it is bound exclusive, and fails beside a
// relay; on one address it is refused where another socket holds exactly that
// address, and shared with the wildcard sockets of a relay here (which sends
// from port 6012 of all addresses, and shares its port only with its own user).
// The announcement port is shared with the SAP browsers of this host, but not
// with a socket on exactly its address.
int bind_port(in_addr_t addr, int port, bool exclusive) {
  const bool wildcard = addr == htonl(INADDR_ANY);
  if (!wildcard && held_exactly(addr, port))
    return -1;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int reuse = !(exclusive && wildcard);
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) < 0 ||
      setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &reuse, sizeof reuse) < 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
    if (fd >= 0)
      close(fd);
    return -1;
  }
  return fd;
}

bool is_loopback(in_addr_t addr) { return (ntohl(addr) >> 24) == 127; }

// True for a datagram from port 6012 of the address whose answer registered this client.
bool from_relay(const sockaddr_in& from) {
  return from.sin_port == htons(kRequestPort) && from.sin_addr.s_addr == answered_from;
}

// Reads one datagram of the control socket; true when it is the reply to this
// client, from port 6012 of *from_addr (else INADDR_NONE).
bool take_reply(in_addr_t* from_addr) {
  *from_addr = INADDR_NONE;
  char buf[kDatagramMax];
  sockaddr_in from;
  socklen_t len = sizeof from;
  const ssize_t n = recvfrom(control_fd, buf, sizeof buf, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0 || !is_reply(buf, static_cast<size_t>(n), name.c_str()) ||
      from.sin_port != htons(kRequestPort))
    return false;
  *from_addr = from.sin_addr.s_addr;
  return true;
}

// True for RELAY's own address; for a relay on this host, any of this host's.
bool relay_own(in_addr_t addr) {
  return addr == relay.sin_addr.s_addr || (relay_local && net_is_local_addr(addr));
}

// Reads the ICMP reports queued on the control socket; true when one says
// that nothing listens at the relay's port 6012.
bool relay_refused() {
  bool refused = false;
  sockaddr_in dest;
  for (int report; (report = net_read_refusal(control_fd, &dest)) >= 0;) {
    refused = refused || (report == 1 && dest.sin_addr.s_addr == relay.sin_addr.s_addr &&
                          dest.sin_port == relay.sin_port);
  }
  return refused;
}

// Waits up to ms for the relay's reply on the control socket; true when it
// came (answered_from says from where). A host that refuses the invitations
// has no relay running: the client ends rather than wait for a reply that
// cannot come; a refusal makes the next invitation go at once.
bool await_reply(long long ms) {
  for (const long long deadline = now_ms() + ms;;) {
    const bool other = other_answer != INADDR_NONE;
    const long long grace = other ? other_answer_at + kInviteEveryMs : deadline;
    if (other && now_ms() >= grace) {
      answered_from = other_answer;
      return true;
    }
    if (now_ms() >= deadline)
      return false;
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(control_fd, &ready);
    if (wait_readable(control_fd + 1, &ready, std::min(deadline, grace) - now_ms()) <= 0)
      continue;
    in_addr_t from;
    if (take_reply(&from) && relay_own(from)) {
      answered_from = from;
      return true;
    }
    if (from != INADDR_NONE && other_answer == INADDR_NONE) {
      other_answer = from;
      other_answer_at = now_ms();
    }
    if (relay_refused()) {
      if (++refused_in_a_row == kRefusalsToEnd)
        leave(1, "nothing answers at " + std::string(relay_host) +
                     " port 6012: is vok_relay running there?");
      return false;
    }
  }
}

// Writes one line; a reader that has gone (or any write error) ends the client.
void show(const std::string& line) {
  if (printf("%s\n", line.c_str()) >= 0 && fflush(stdout) == 0)
    return;
  if (errno == EPIPE)
    leave(0);
  leave(1, "cannot write: " + std::string(strerror(errno)));
}

}  // namespace

int main(int argc, char** argv) {
  const char usage[] = "usage: vok_client [-m [-g GROUP] [-i IFACE] [-t TTL]] RELAY-HOST [NAME]";
  bool multicast = false;
  in_addr copies_to;  // where -m sends its copies
  Address typed;      // -g as written
  inet_aton(kSapGroup, &copies_to);
  int out_index = 0;  // the interface they leave by; 0: the route's for the group
  long ttl = 0;       // 0: they stay on this host
  bool link_options = false;
  int first = 1;
  for (; first < argc && argv[first][0] == '-'; ++first) {
    const std::string opt = argv[first];
    if (opt == "-m") {
      multicast = true;
      continue;
    }
    if ((opt != "-g" && opt != "-i" && opt != "-t") || first + 1 == argc)
      fail(usage, 2);
    const char* value = argv[++first];
    char* end;
    link_options = link_options || opt != "-g";
    if (opt == "-g" &&
        (!parse_address(value, &typed) || !IN_MULTICAST(ntohl(copies_to.s_addr = typed.v4()))))
      fail(opt + " " + value + ": not a multicast IPv4 address", 2);
    if (opt == "-i" && (out_index = static_cast<int>(if_nametoindex(value))) == 0)
      fail(opt + " " + value + ": no such interface", 2);
    if (opt == "-t" && ((ttl = strtol(value, &end, 10)) < 1 || ttl > 255 || *end != '\0'))
      fail(opt + " " + value + ": not a time-to-live from 1 to 255", 2);
  }
  if (link_options && !multicast)
    fail("-i and -t say where the copies of -m go: give -m", 2);
  if (argc - first < 1 || argc - first > 2)
    fail(usage, 2);
  relay_host = argv[first];
  char self[256] = {};
  if (argc - first == 2)
    name = argv[first + 1];
  else if (gethostname(self, sizeof self - 1) == 0)
    name = self;
  if (!printable_word(name.data(), name.size()))
    fail("NAME must be one word of 1 to 31 printable characters: \"" + name + "\"", 2);

  const in_addr_t relay_addr = host2ip(relay_host).s_addr;
  if (relay_addr == INADDR_NONE || relay_addr == 0)
    fail(std::string("cannot resolve ") + relay_host);
  relay.sin_family = AF_INET;
  relay.sin_addr.s_addr = relay_addr;
  relay.sin_port = htons(kRequestPort);
  relay_local = net_is_local_addr(relay_addr) != 0;

  // Announcements for NAME arrive at its address: bind that one where it is
  // this host's and can reach the relay, so several clients can share a host;
  // else all addresses. A loopback address reaches only a relay on this host.
  const in_addr_t addr = host2ip(name.c_str()).s_addr;
  const bool local = addr != INADDR_NONE && addr != 0 && net_is_local_addr(addr);
  const bool unreachable = local && is_loopback(addr) && !is_loopback(relay_addr);
  if (unreachable) {
    char here[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr, here, sizeof here);
    fprintf(stderr,
            "vok_client: %s is %s here, which %s cannot reach: the relay must resolve %s to an "
            "address of this host (or give one as NAME)\n",
            name.c_str(), here, relay_host, name.c_str());
  }
  if (local && addr == relay_addr)
    fail(name + " is the relay's own address: give this client an address of its own as NAME");
  const in_addr_t bind_addr = local && !unreachable ? addr : htonl(INADDR_ANY);
  char where[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &bind_addr, where, sizeof where);
  control_fd = bind_port(bind_addr, kRequestPort, true);
  if (control_fd < 0)
    fail(std::string("UDP port 6012 of ") + where +
         " is taken: another vok_client or a relay runs here (give another NAME)");
  const int data_fd = bind_port(bind_addr, kAnnouncePort, false);
  if (data_fd < 0)
    fail(std::string("cannot bind UDP port 9875 of ") + where);
  // Only what is sent to this socket: no group that another program here joined.
  const int off = 0, on = 1;
  setsockopt(data_fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
  // ICMP reports about the relay's port: a host with no relay refuses at once.
  setsockopt(control_fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
  sockaddr_in group = {};
  if (multicast) {
    // The copies go out of -i's interface, or else the one the host's route
    // for the group picks, where the browsers here joined it; left to itself,
    // a socket bound to NAME's address would send them out of NAME's
    // interface instead. They leave from port 6012, so a relay running here
    // drops them as its own output, and one on the link as its client's.
    const unsigned char hops = static_cast<unsigned char>(ttl);
    ip_mreqn out = {};
    out.imr_ifindex = out_index != 0 ? out_index : net_route_ifindex(copies_to.s_addr);
    setsockopt(control_fd, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops);
    setsockopt(control_fd, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on);
    setsockopt(control_fd, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out);
    // Linux keeps time-to-live 0 on the host only while the host is a member
    // of the group on that interface: this socket, never read, makes it one.
    ip_mreqn join = out;
    join.imr_multiaddr = copies_to;
    const int member = ttl == 0 ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
    if (ttl == 0 &&
        (member < 0 || setsockopt(member, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) < 0))
      fail("cannot keep the copies on this host: " + std::string(strerror(errno)));
    group.sin_family = AF_INET;
    group.sin_addr = copies_to;
    group.sin_port = htons(kAnnouncePort);
  }
  shutdown_init(on_signal);
  signal(SIGPIPE, SIG_IGN);  // a reader that goes away shows as a write error

  int invitations = 0;
  bool registered = false, afresh = false;
  for (const long long begin = now_ms(); !registered;) {
    const long long spent = now_ms() - begin;
    if (spent >= kGiveUpMs)
      leave(1, "no reply from " + std::string(relay_host) + " to " + std::to_string(invitations) +
                   " invitations for " + name + " in " + std::to_string(kGiveUpMs / 1000) +
                   " s: the relay is down, full (four clients), or " + name +
                   " is registered already");
    // A reply lost after an admission leaves the name registered, and the
    // relay refuses it again silently: stop, once, so the next is admitted.
    if (spent >= kAfreshMs && !afresh) {
      request(kStop);
      afresh = true;
    }
    if (const int err = request(kInvite))
      leave(1, std::string("cannot reach ") + relay_host + ": " + strerror(err));
    invited = true;
    ++invitations;
    registered = await_reply(std::min(kInviteEveryMs, kGiveUpMs - spent));
  }
  show("registered with " + std::string(relay_host) + " as " + name);

  // No more than the relay sends: a longer datagram is not the relay's, nor put on a link.
  static char buf[kDatagramMax];
  long long keep_alive = now_ms() + kKeepAliveMs;
  for (;;) {
    // The invitation alone, now and then: a relay that has it refuses it
    // silently, one that has forgotten this host (it restarted) takes it.
    if (now_ms() >= keep_alive) {
      request(kInvite);
      keep_alive = now_ms() + kKeepAliveMs;
    }
    const long long left = keep_alive - now_ms();
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(data_fd, &ready);
    FD_SET(control_fd, &ready);
    if (wait_readable(std::max(data_fd, control_fd) + 1, &ready, left) <= 0)
      continue;
    in_addr_t from_addr;
    if (FD_ISSET(control_fd, &ready) && take_reply(&from_addr) && from_addr == answered_from)
      show("registered again with " + std::string(relay_host) + " as " + name);
    if (FD_ISSET(control_fd, &ready))
      relay_refused();  // a relay restarting: its invitation a minute on will tell
    if (FD_ISSET(data_fd, &ready)) {
      sockaddr_in from;
      socklen_t from_len = sizeof from;
      const ssize_t n = recvfrom(data_fd, buf, sizeof buf, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &from_len);
      if (n < 0 || !from_relay(from))
        continue;
      show(describe_datagram(buf, static_cast<int>(n)));
      if (multicast)
        sendto(control_fd, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&group),
               sizeof group);
    }
  }
}
