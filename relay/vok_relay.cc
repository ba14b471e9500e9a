// vok_relay.cc -- relays multicast session announcements by unicast to registered clients.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "VokListner.h"
#include "clients_file.h"
#include "fanout.h"
#include "groups.h"
#include "local_addrs.h"
#include "log.h"
#include "outputs.h"
#include "common/address.h"
#include "common/signals.h"
#include "network/net.h"
#include "relay.h"
#include "resolver.h"
#include "service.h"

namespace {

const int kRequestBatches = 4;  // requests read per wake-up, in batches of Fanout::kBatch
// Room for a burst of 2000 full datagrams while the loop is busy; where the
// system grants less, bursts lose more.
const int kAnnounceBuffer = 2000 * (kDatagramMax + 256);
const int kRequestBuffer = 1 << 20;  // a few thousand small requests, for a moment's stall

// The command line: options first (-i IFACE, -g GROUP, -o IFACE, -a NETWORK,
// each repeatable, -t TTL and -e SECONDS), then what the relay has always taken.
struct Options {
  std::vector<std::string> interfaces, outputs;
  long ttl = 1;
  std::vector<in_addr_t> groups;
  Relay::Config relay;
  int first = 1;      // the first argument after the options
  std::string error;  // what is wrong, or ""
};

// Takes one option's value into o; what is wrong with it, or "".
std::string take_option(Options& o, const std::string& opt, const char* value) {
  if (opt == "-a")
    return o.relay.allowed.add(value) ? "" : "not NETWORK[/LEN] or local";
  if (opt == "-u")
    return o.relay.upstreams.add(value) ? "" : "not [NAME@]RELAY";
  if (opt == "-e") {
    char* end;
    o.relay.expire_s = strtol(value, &end, 10);
    const bool ok =
        end != value && *end == '\0' && o.relay.expire_s >= 60 && o.relay.expire_s <= 86400;
    return ok ? "" : "not a number of seconds from 60 to 86400";
  }
  if (opt == "-t") {
    char* end;
    o.ttl = strtol(value, &end, 10);
    return end != value && *end == '\0' && o.ttl >= 0 && o.ttl <= 255
               ? ""
               : "not a time-to-live from 0 to 255";
  }
  if (opt == "-i" || opt == "-o") {
    if (*value == '\0' || strlen(value) >= IF_NAMESIZE)
      return "not an interface name";
    (opt == "-i" ? o.interfaces : o.outputs).push_back(value);
    return "";
  }
  Address group;
  if (!parse_address(value, &group) || !IN_MULTICAST(ntohl(group.v4())))
    return "not a multicast IPv4 address";
  if (o.groups.size() + 1 == Groups::kMax)
    return "more groups than " + std::to_string(Groups::kMax);
  o.groups.push_back(group.v4());
  return "";
}

Options parse_options(int argc, char** argv) {
  Options o;
  for (; o.first < argc && o.error.empty(); o.first += 2) {
    const std::string opt = argv[o.first];
    const char* const needs = opt == "-i" || opt == "-o" ? " needs an interface"
                              : opt == "-t"              ? " needs a time-to-live"
                              : opt == "-g"              ? " needs a group address"
                              : opt == "-a"              ? " needs a network"
                              : opt == "-e"              ? " needs a number of seconds"
                              : opt == "-u"              ? " needs a relay"
                                                         : nullptr;
    if (needs == nullptr)
      break;
    if (o.first + 1 == argc) {
      o.error = opt + needs;
      break;
    }
    const std::string wrong = take_option(o, opt, argv[o.first + 1]);
    if (!wrong.empty())
      o.error = opt + " " + argv[o.first + 1] + ": " + wrong;
  }
  return o;
}

// Exit statuses besides 0 (usage) and 1 (stopped by a signal).
const int kBadUsage = 2, kCannotStart = 3;
int said_to = -1;  // whoever started the relay, until it runs

// Ends start-up with status: logged (where given) goes to the log, said to
// whoever started the relay.
[[noreturn]] void fail(int status, const char* logged, const std::string& said) {
  if (logged != nullptr)
    log_line("%s", logged);
  const std::string text = "vok_relay: " + said + "\n";
  if (said_to >= 0 && write(said_to, text.data(), text.size()) < 0) {
    // nobody to tell: the log has it
  }
  exit(status);
}

// Points descriptors 0 to 2 at /dev/null, so that no stray error text can
// land in a socket that would otherwise take their numbers. False when
// /dev/null cannot be opened.
bool detach_std_fds() {
  for (int fd = 0; fd <= 2; ++fd)
    close(fd);
  const int null = open("/dev/null", O_RDWR);
  return null == 0 && dup2(0, 1) == 1 && dup2(0, 2) == 2;
}

// What the rules reach the world through: the request socket, the resolver, the log and the
// clients file.
class World : public Outside {
 public:
  Listener* listener(const char* name, int port) override { return VokListner::make(name, port); }
  void reply(const Address& addr, const std::string& text) override {
    sockaddr_in dest = {};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = addr.v4();
    dest.sin_port = htons(kRequestPort);
    sendto(request_fd, text.data(), text.size(), MSG_DONTWAIT,
           reinterpret_cast<const sockaddr*>(&dest), sizeof dest);
  }
  void look_up(unsigned tag, const char* name, bool registered) override {
    resolver.lookup(tag, name, registered);
  }
  void cancel(unsigned tag) override { resolver.cancel(tag); }
  void log(const std::string& line) override { log_line("%s", line.c_str()); }
  // A failure is said once, and the write tried again at the next change.
  void keep(const std::vector<KeptClient>& clients) override {
    const bool ok = write_clients(clients_file, clients);
    if (!ok && !failing)
      log_line("cannot keep clients in %s", clients_file.c_str());
    failing = !ok;
  }

  int request_fd = -1;
  Resolver resolver;
  std::string clients_file;
  bool failing = false;  // the last write failed, and said so
};

// Everything the loop keeps, in one place: made once, on the heap, as its buffers are large.
struct State {
  World world;
  LocalAddrs local;
  Groups groups;    // the announcement sockets
  Outputs outputs;  // the links announced on again (-o)
  Fanout fanout;    // the batch in hand
  Fanout requests;  // requests, read by the batch too
  Service service;  // what systemd is told
  Relay* relay = nullptr;
};

// Reads the interfaces once for all that follow them: this host's addresses, the unicast
// sockets, the groups' memberships and the outputs. False when another program holds port
// 9875 on an address of this host: at start nothing more is done, as the relay ends.
bool take_interfaces(State& s, bool starting = false) {
  s.local.drain();
  std::vector<Interface> now;
  const bool read = read_interfaces(&now);
  s.local.take(now, read && s.local.fd() >= 0);
  if (!s.groups.take_unicast(now) && starting)
    return false;
  s.groups.refresh(now);
  s.outputs.refresh(now, s.groups);
  return true;
}

// The per-datagram path: a batch in from group g's socket, sifted, then to each listener in
// order of admission and out of the other links, all of it in order of arrival.
void relay_announcements(State& s, int socket, long long now) {
  Fanout& f = s.fanout;
  const int n = f.receive(s.groups.fd(socket)), g = s.groups.group_of(socket);
  for (int i = 0; i < n; ++i) {
    if (s.relay->admits(g, {f.data(i), f.length(i), f.from(i), f.to_group(i), f.cut(i)}, now))
      f.keep(i);
  }
  if (f.kept() == 0)
    return;
  s.relay->relayed(s.relay->registry().send_event(f.kept_msgs(), f.kept()), now);
  s.outputs.send(g, f);
}

// Requests are read by the batch, as announcements are, a few batches a wake-up: a flood from
// one source must not outrun the loop, or the kernel drops other hosts' requests with it.
void serve_requests(State& s, long long now) {
  char buffer[kDatagramMax + 1];  // one spare byte to end a request's text
  for (int batches = 0, n = Fanout::kBatch; batches < kRequestBatches && n == Fanout::kBatch;
       ++batches) {
    n = s.requests.receive(s.world.request_fd);
    for (int i = 0; i < n; ++i) {
      const size_t len = static_cast<size_t>(s.requests.length(i));
      memcpy(buffer, s.requests.data(i), len);
      buffer[len] = '\0';
      s.relay->request(buffer, len, s.requests.from(i), now);
    }
  }
}

// The pending clients file is written, then the quit line; status 1.
[[noreturn]] void done(State& s) {
  s.service.stopping();
  s.relay->upstreams().stop(s.world.request_fd);
  s.relay->finish(now_ms());
  log_line("vok_relay server quit");
  exit(1);
}

[[noreturn]] void listen_pass_sd(State& s) {
  Relay& r = *s.relay;
  EventsDismisser& ed = r.registry();
  for (;;) {
    long long now = now_ms();
    long long next = std::min(r.run_timers(now), r.upstreams().invite(s.world.request_fd, now));
    if (r.take_changed())
      s.service.changed();
    next = std::min(next, s.service.run(now, [&r] { return r.status_line(); }));
    fd_set ready;
    FD_ZERO(&ready);
    int highest = -1;
    auto watch = [&](int fd) {
      if (fd >= 0) {
        FD_SET(fd, &ready);
        highest = std::max(highest, fd);
      }
    };
    for (int fd : {s.world.request_fd, s.world.resolver.fd(), s.local.fd()})
      watch(fd);
    for (int i = 0; i < s.groups.sockets(); ++i)
      watch(s.groups.fd(i));
    // Each listener's socket wakes the loop with the ICMP reports about it.
    for (int k = 0; k < ed.count(); ++k)
      watch(ed.at(k)->fd());
    const int n = wait_readable(highest + 1, &ready, std::max(0LL, next - now));
    if (quit_signal() != 0)
      done(s);
    now = now_ms();
    if (stats_requested()) {
      std::vector<Address> groups;
      for (int g = 0; g < s.groups.count(); ++g)
        groups.push_back(Address::ipv4(s.groups.group(g)));
      r.log_stats(now, groups, s.outputs.counts(), log_lost());
    }
    if (n <= 0)
      continue;
    // Address changes first, so the loop guard knows them before the datagrams.
    // The same notices tell of interfaces that come and go.
    if (s.local.fd() >= 0 && FD_ISSET(s.local.fd(), &ready))
      take_interfaces(s);  // an address another program holds is logged, and passed over
    for (int k = 0; k < ed.count(); ++k) {
      if (ed.at(k)->fd() >= 0 && FD_ISSET(ed.at(k)->fd(), &ready))
        ed.at(k)->read_reports();
    }
    r.notice(now);
    // Addresses found first, so the datagrams of this wake-up reach them.
    Resolver::Answer a;
    while (FD_ISSET(s.world.resolver.fd(), &ready) && s.world.resolver.take(&a))
      r.resolved(a.tag, a.addr, now);
    // A socket opened for an address gained just now is not in ready: reading one that is
    // not ready costs a call that finds nothing.
    for (int i = 0; i < s.groups.sockets(); ++i) {
      if (FD_ISSET(s.groups.fd(i), &ready))
        relay_announcements(s, i, now);
    }
    if (FD_ISSET(s.world.request_fd, &ready))
      serve_requests(s, now);
  }
}

}  // namespace

int main(int argc, char** argv) {
  shutdown_init(nullptr);  // the loop quits, writing what is pending
  const Options o = parse_options(argc, argv);
  const bool usage = argc == 2 && strcmp(argv[1], "-h") == 0;
  // The usage text, and why the relay cannot start, go to whoever started it,
  // not to /dev/null.
  const int out_fd = usage ? fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3) : -1;
  said_to = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  const bool detached = detach_std_fds();
  log_open("tavi-K");
  log_line("vok_relay server start");
  if (!detached)
    fail(kCannotStart, "cannot open /dev/null", "cannot open /dev/null");
  if (usage) {
    const char text[] = "Usage: vok_relay [-loadcache]\n";
    exit(out_fd >= 0 && write(out_fd, text, sizeof text - 1) < 0 ? 1 : 0);
  }
  if (!o.error.empty())
    fail(kBadUsage, nullptr, o.error);
  const int args = argc - o.first;  // what follows the options
  char** const arg = argv + o.first;
  Relay::Config config = o.relay;
  config.loadcache = args == 1 && strcmp(arg[0], "-loadcache") == 0;
  if (config.loadcache)
    log_line("enable loading cache");
  if (args > 2 || (args == 1 && !config.loadcache)) {  // ignored, as they always were, but said
    std::string ignored;
    for (int i = 0; i < args; ++i)
      ignored += std::string(i == 0 ? "" : " ") + arg[i];
    log_line("ignored arguments: %s", ignored.c_str());
  }
  std::string unknown;
  if (!config.upstreams.resolve(&unknown))
    fail(kCannotStart, ("cannot resolve " + unknown).c_str(), "cannot resolve " + unknown);
  State& s = *new State;
  if (!s.world.resolver.open())
    fail(kCannotStart, "cannot start the resolver", "cannot start the resolver");
  // Its ports are its own: a second relay here would share them, and its clients file.
  if (net_port_held(kRequestPort))
    fail(kCannotStart, "cannot open socket to listen to request",
         "UDP port 6012 is taken: is another vok_relay running here?");
  s.local.open();  // before the interfaces are read, so that no change is missed
  s.groups.add(inet_addr(kSapGroup));
  for (in_addr_t g : o.groups)
    s.groups.add(g);
  s.groups.listen_on(o.interfaces);
  s.outputs.announce_on(o.outputs, static_cast<int>(o.ttl));
  if (!s.groups.open(kAnnouncePort, kAnnounceBuffer))
    fail(kCannotStart, "cannot open socket for listening sd\n",
         "cannot bind UDP port 9875: another program holds it");
  if (!take_interfaces(s, true))  // the log has said where
    fail(kCannotStart, nullptr, "cannot bind UDP port 9875: another program holds it");
  // Bound last, as the sign that the relay has its ports. All addresses, without asking what
  // this host's name is: nothing uses it.
  s.world.request_fd = net_bind_own(nullptr, kRequestPort);
  if (s.world.request_fd < 0)
    fail(kCannotStart, "cannot open socket to listen to request",
         "cannot bind UDP port 6012: another program holds it");
  net_rcvbuf(s.world.request_fd, kRequestBuffer);
  const std::string path = clients_path();
  s.world.clients_file = path.empty() ? "$HOME/.vok/clients" : path;
  if (path.empty())
    log_line("cannot keep clients in %s", s.world.clients_file.c_str());
  config.keeps = !path.empty();
  const long long started = now_ms();
  s.relay = new Relay(config, s.world, s.local, started);
  if (args == 2)  // the first, always admitted
    s.relay->serve(arg[0], atoi(arg[1]), started);
  s.relay->restore(read_clients(path, Relay::kCapacity), started);
  s.service.open(started);
  s.service.ready(s.relay->status_line());
  close(said_to);
  listen_pass_sd(s);
}
