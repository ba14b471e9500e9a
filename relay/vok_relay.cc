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
#include "access.h"
#include "clients_file.h"
#include "fanout.h"
#include "groups.h"
#include "local_addrs.h"
#include "log.h"
#include "outputs.h"
#include "common/signals.h"
#include "network/net.h"
#include "resolver.h"
#include "seen.h"
#include "service.h"
#include "sessions.h"
#include "upstreams.h"

namespace {

const int kCapacity = 4;
const long long kWaitMs = 120 * 1000;
const long long kKeepPauseMs = 1000;  // the clients file is written at most this often
// A client's invitation every minute keeps it past -e 60: its timer and the
// network may make one a little late.
const long long kExpirySlackMs = 5000;
const int kRequestBatches = 4;  // requests read per wake-up, in batches of Fanout::kBatch
// Room for a burst of 2000 full datagrams while the loop is busy; where the
// system grants less, bursts lose more.
const int kAnnounceBuffer = 2000 * (kDatagramMax + 256);
const int kRequestBuffer = 1 << 20;  // a few thousand small requests, for a moment's stall

// What the statistics report besides each listener's own counts.
struct Totals {
  unsigned long received, own_output, from_listeners, seen, stranger, cut;
  unsigned long admitted, refreshed, turned_down, ignored, outside, over_budget, not_owner;
  unsigned long unreachable, expired;
};

// Everything the relay keeps, in one place: made once, on the heap, as its
// buffers are large.
struct Relay {
  EventsDismisser ed{kCapacity};  // the listeners, in order of admission
  Groups groups;                  // the announcement sockets
  Outputs outputs;                // the links announced on again (-o)
  Seen seen;                      // what was relayed in the last seconds
  int request_fd = -1;
  bool loadcache = false;
  Resolver resolver;
  unsigned lookups = 0;  // tags handed out so far: each lookup's is new
  LocalAddrs local;
  Networks allowed;          // who may ask and be served (-a)
  Upstreams upstreams;       // the relays it registers with (-u)
  Budgets budgets;           // how fast each source may ask
  long long expires_ms = 0;  // -e, with its slack; 0: registrations never expire
  Fanout fanout;      // the batch in hand
  Fanout requests;    // requests, read by the batch too
  Sessions sessions;  // remembered only with -loadcache, for new clients
  std::string clients_file;      // "" when registrations cannot be kept
  std::vector<KeptClient> unrestored;  // kept by the last run, but found no place
  bool clients_changed = false;  // the file is behind the registry
  bool clients_failing = false;  // the last write failed, and said so
  long long clients_due = 0;     // when it may be written next
  Totals totals = {};
  long long started = 0;
  Service service;                // what systemd is told
  time_t last_announcement = 0;  // when one was last relayed (wall clock), or 0
};

// Every listener the relay offers its registry is a VokListner.
VokListner& client(const EventsDismisser& ed, int i) { return static_cast<VokListner&>(*ed.at(i)); }

// The command line: options first (-i IFACE, -g GROUP, -o IFACE, -a NETWORK,
// each repeatable, -t TTL and -e SECONDS), then what the relay has always taken.
struct Options {
  std::vector<std::string> interfaces, outputs;
  long ttl = 1;
  std::vector<in_addr_t> groups;
  Networks allowed;
  Upstreams upstreams;
  long expire_s = 0;
  int first = 1;      // the first argument after the options
  std::string error;  // what is wrong, or ""
};

// Takes one option's value into o; what is wrong with it, or "".
std::string take_option(Options& o, const std::string& opt, const char* value) {
  if (opt == "-a")
    return o.allowed.add(value) ? "" : "not NETWORK[/LEN] or local";
  if (opt == "-u")
    return o.upstreams.add(value) ? "" : "not [NAME@]RELAY";
  if (opt == "-e") {
    char* end;
    o.expire_s = strtol(value, &end, 10);
    const bool ok = end != value && *end == '\0' && o.expire_s >= 60 && o.expire_s <= 86400;
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
  in_addr group;
  if (inet_aton(value, &group) == 0 || !IN_MULTICAST(ntohl(group.s_addr)))
    return "not a multicast IPv4 address";
  if (o.groups.size() + 1 == Groups::kMax)
    return "more groups than " + std::to_string(Groups::kMax);
  o.groups.push_back(group.s_addr);
  return "";
}

Options parse_options(int argc, char** argv) {
  Options o;
  for (; o.first < argc && o.error.empty(); o.first += 2) {
    const std::string opt = argv[o.first];
    const char* const needs = opt == "-i" || opt == "-o" ? " needs an interface"
                              : opt == "-t"                ? " needs a time-to-live"
                              : opt == "-g"                ? " needs a group address"
                              : opt == "-a"                ? " needs a network"
                              : opt == "-e"                ? " needs a number of seconds"
                              : opt == "-u"                ? " needs a relay"
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

// Everything the relay sends leaves from port 6012 of this host, so a
// datagram from there is its own output coming back (a client named after
// this host, or the group itself): relaying it again would go round forever.
bool is_own_output(const Relay& r, const sockaddr_in& from) {
  return from.sin_port == htons(kRequestPort) && r.local.has(from.sin_addr.s_addr);
}

// Writes the invited listeners to the clients file, in order of admission.
// A failure is said once, and the write tried again at the next change.
void write_kept(Relay& r, long long now) {
  r.clients_changed = false;
  r.clients_due = now + kKeepPauseMs;
  if (r.clients_file.empty())
    return;
  std::vector<KeptClient> kept;
  for (int k = 0; k < r.ed.count(); ++k) {
    if (!client(r.ed, k).from_command_line())
      kept.push_back({client(r.ed, k).get_id(), client(r.ed, k).get_port()});
  }
  // Those the last run kept that found no place (the command line's took one)
  // stay in the file, after the others, until new clients need their places.
  for (const KeptClient& c : r.unrestored) {
    const bool there = std::any_of(kept.begin(), kept.end(),
                                   [&c](const KeptClient& k) { return k.name == c.name; });
    if (!there && static_cast<int>(kept.size()) < kCapacity)
      kept.push_back(c);
  }
  const bool ok = write_clients(r.clients_file, kept);
  if (!ok && !r.clients_failing)
    log_line("cannot keep clients in %s", r.clients_file.c_str());
  r.clients_failing = !ok;
}

// The registry changed: the file follows within kKeepPauseMs, one write for
// any number of changes, off the request path.
void clients_changed(Relay& r) {
  r.clients_changed = true;
  r.service.changed();
}

// The one line systemd shows for the relay.
std::string status_line(const Relay& r) {
  char last[64] = "no announcement yet";
  tm at;
  if (r.last_announcement != 0 && localtime_r(&r.last_announcement, &at) != nullptr)
    strftime(last, sizeof last, "last announcement at %H:%M:%S", &at);
  return std::to_string(r.ed.count()) + (r.ed.count() == 1 ? " client, " : " clients, ") +
         std::to_string(r.fanout.relayed()) + " datagrams relayed, " + last;
}

// Takes l out of the registry and releases it; its pending lookup goes with it.
void remove(Relay& r, VokListner& l) {
  r.ed.remove_listener(l.get_id());
  if (l.resolving())
    r.resolver.cancel(l.lookup_tag());
  delete &l;
  clients_changed(r);
}

// Lets l go, with the line that says why: it leaves the registry when the
// events of this pass are done, so that no loop over the registry sees it shrink.
void let_go(VokListner& l, const char* why) {
  log_line("client [%s] %s", l.get_id(), why);
  l.leaving = true;
}

const char kNotUnicast[] = "not served: a group or broadcast address";
const char kNotAllowed[] = "not served: outside the allowed networks";

// Removes the listeners let go by this pass's events, and those that refusals
// show to be gone: the registry shrinks here, and by a client's Stop.
void remove_leaving(Relay& r) {
  VokListner* going[kCapacity];
  int n = 0;
  for (int k = 0; k < r.ed.count(); ++k) {
    VokListner& l = client(r.ed, k);
    if (!l.leaving && l.gone()) {
      ++r.totals.unreachable;
      let_go(l, "unreachable, removed");
    }
    if (l.leaving)
      going[n++] = &l;
  }
  for (int i = 0; i < n; ++i)
    remove(r, *going[i]);
}

// Asks for l's address; every answer comes back through the resolver's descriptor.
void look_up(Relay& r, VokListner& l, long long now) {
  l.looking_up(++r.lookups, now);
  r.resolver.lookup(l.lookup_tag(), l.get_id(), l.served());
}

// Does what a client's event asks for.
void act(Relay& r, VokListner& l, int todo, long long now) {
  if (todo & VokListner::kExpire) {
    ++r.totals.expired;
    let_go(l, "expired");
    return;
  }
  if (todo & VokListner::kAnswer) {
    char reply[64];
    const int len = snprintf(reply, sizeof reply, "%s %s", kReply, l.get_id());
    sockaddr_in dest = *l.destination();
    dest.sin_port = htons(kRequestPort);
    sendto(r.request_fd, reply, static_cast<size_t>(len), MSG_DONTWAIT,
           reinterpret_cast<const sockaddr*>(&dest), sizeof dest);
  }
  if (todo & VokListner::kStartReplay)
    l.replay.start(&r.sessions, now);
  if (todo & VokListner::kReplayStep) {
    mmsghdr entry;
    if (l.replay.next(&entry))
      l.send_batch(&entry, 1, now, false);  // not an announcement: not counted as relayed
    else
      todo |= l.on(VokListner::kReplayed, now);
  }
  if (todo & VokListner::kWelcome)
    log_line("a new client [%s]", l.get_id());
  if (todo & VokListner::kLookUp)
    look_up(r, l, now);
}

// Takes l into the registry and starts its life; false when the registry turns
// it down (full, or the name taken), or there is none, and l is released.
bool admit(Relay& r, VokListner* l, long long now) {
  if (r.ed.new_listener(l) == 0) {
    delete l;
    return false;
  }
  clients_changed(r);
  act(r, *l, l->on(VokListner::kAdmitted, now), now);
  return true;
}

// The listener whose lookup has tag, or null: it has gone, or asked again.
VokListner* find_lookup(const Relay& r, unsigned tag) {
  for (int k = 0; k < r.ed.count(); ++k) {
    if (client(r.ed, k).resolving() && client(r.ed, k).lookup_tag() == tag)
      return &client(r.ed, k);
  }
  return nullptr;
}

// The listener other than l already served at addr and l's port, or null.
const VokListner* served_at(const Relay& r, const VokListner& l, in_addr_t addr) {
  for (int k = 0; k < r.ed.count(); ++k) {
    const VokListner& o = client(r.ed, k);
    if (&o != &l && !o.leaving && o.lives_at(addr) && o.get_port() == l.get_port())
      return &o;
  }
  return nullptr;
}

// Every lookup's answer comes in here: an address that would reach many
// hosts, one outside the allowed networks, or one served already (however
// its name is spelt) lets its client go.
void take_lookups(Relay& r, long long now) {
  Resolver::Answer a;
  while (r.resolver.take(&a)) {
    VokListner* l = find_lookup(r, a.tag);
    if (l == nullptr)
      continue;
    const VokListner* twin = a.found ? served_at(r, *l, a.addr) : nullptr;
    if (a.found && !r.local.unicast(a.addr)) {
      let_go(*l, kNotUnicast);
    } else if (a.found && !l->from_command_line() && !r.allowed.allows(a.addr, r.local)) {
      let_go(*l, kNotAllowed);  // the command line's listener is the operator's own choice
    } else if (twin != nullptr) {
      char why[96], addr[INET_ADDRSTRLEN];
      snprintf(why, sizeof why, "not served: %s port %d is served already as [%s]",
               inet_ntop(AF_INET, &a.addr, addr, sizeof addr), l->get_port(), twin->get_id());
      let_go(*l, why);
    } else {
      act(r, *l, l->on(VokListner::kResolved, now, a.found ? a.addr : std::optional<in_addr_t>()),
          now);
    }
  }
}

// A listener never feeds its relay: a datagram from port 6012 of a listener's
// address is a vok_client -m copy come back, or the output of a relay that
// this one serves and that serves it, a circle that would never end.
bool from_listener(const Relay& r, const sockaddr_in& from) {
  if (from.sin_port != htons(kRequestPort))
    return false;
  for (int k = 0; k < r.ed.count(); ++k) {
    if (client(r.ed, k).lives_at(from.sin_addr.s_addr))
      return true;
  }
  return false;
}

// The per-datagram path: a batch in from group g's socket, then to each
// listener in order of admission, all of the batch in order of arrival.
void relay_announcements(Relay& r, int g, long long now) {
  const int n = r.fanout.receive(r.groups.fd(g));
  const bool guarded = !r.allowed.empty() || !r.upstreams.empty();  // -a or -u
  r.groups.count_received(g, std::max(n, 0));
  for (int i = 0; i < n; ++i) {
    ++r.totals.received;
    r.totals.cut += r.fanout.cut(i);
    if (is_own_output(r, r.fanout.from(i))) {
      ++r.totals.own_output;
      continue;
    }
    if (from_listener(r, r.fanout.from(i))) {
      ++r.totals.from_listeners;
      continue;
    }
    // Unicast is a feed: with -a or -u, only the upstreams' and the allowed networks'.
    const sockaddr_in& from = r.fanout.from(i);
    if (guarded && !r.fanout.to_group(i) && !r.upstreams.feeds(from) &&
        (r.allowed.empty() || !r.allowed.allows(from.sin_addr.s_addr, r.local))) {
      ++r.totals.stranger;
      continue;
    }
    // Back by another way (another relay on the same links, a chain): once is enough.
    if (r.seen.again(r.fanout.data(i), r.fanout.length(i), r.fanout.from(i), now)) {
      ++r.totals.seen;
      continue;
    }
    if (r.loadcache)
      r.sessions.remember(r.fanout.data(i), r.fanout.length(i), now);
    r.fanout.keep(i);
  }
  for (int k = 0; k < r.ed.count(); ++k)
    r.fanout.send(&client(r.ed, k), now);
  r.outputs.send(g, r.fanout);
  if (r.fanout.kept() > 0) {
    r.last_announcement = time(nullptr);
    r.service.changed();
  }
}

// An invitation for a dotted quad that would reach many hosts is refused as
// silently as any other.
bool invites_many(const Relay& r, const Request& req) {
  in_addr quad;
  return strcmp(req.cmd, kInvite) == 0 && inet_aton(req.name, &quad) != 0 &&
         !r.local.unicast(quad.s_addr);
}

// The registered client with that name, or null; one let go is no longer there.
VokListner* registered(const Relay& r, const char* name) {
  for (int k = 0; k < r.ed.count(); ++k) {
    if (!client(r.ed, k).leaving && strcmp(client(r.ed, k).get_id(), name) == 0)
      return &client(r.ed, k);
  }
  return nullptr;
}

// Only the client may undo its registration (from its own address, or from
// where its invitation came) or prolong it (from its own address): nobody can
// cut another host off, nor keep a host served that never asked.
bool from_owner(const VokListner& l, bool stop, in_addr_t from) {
  return l.lives_at(from) || (stop && l.invited_from(from));
}

// Acts on one request from source.
void serve_request(Relay& r, const char* buffer, in_addr_t source, long long now) {
  if (!r.allowed.allows(source, r.local)) {
    ++r.totals.outside;
    return;
  }
  if (!r.budgets.take(source, now)) {
    ++r.totals.over_budget;
    return;
  }
  Request req;
  if (!parse_request(buffer, &req)) {
    ++r.totals.ignored;
    return;
  }
  if (invites_many(r, req)) {
    ++r.totals.turned_down;
    return;
  }
  const bool invite = strcmp(req.cmd, kInvite) == 0, stop = strcmp(req.cmd, kStop) == 0;
  VokListner* known = (invite || stop) ? registered(r, req.name) : nullptr;
  if (known != nullptr && !from_owner(*known, stop, source)) {
    ++r.totals.not_owner;
  } else if (known != nullptr && invite) {  // answered when it was admitted: this only keeps it
    ++r.totals.refreshed;
    known->on(VokListner::kRefreshed, now);
  } else if (known != nullptr) {
    log_line("client [%s] quit", req.name);
    remove(r, *known);
  } else if (invite) {
    const VokListner::Admission how{VokListner::Admission::kInvited, source, r.loadcache,
                                    r.expires_ms};
    if (admit(r, VokListner::make(req.name, kAnnouncePort, how), now))
      ++r.totals.admitted;
    else
      ++r.totals.turned_down;
  } else {
    ++r.totals.ignored;  // a stop for a name not registered, or another word
  }
}

// Requests are read by the batch, as announcements are, a few batches a wake-up: a flood from
// one source must not outrun the loop, or the kernel drops other hosts' requests with it.
void serve_requests(Relay& r, long long now) {
  char buffer[kDatagramMax + 1];  // one spare byte to end a request's text
  for (int batches = 0, n = Fanout::kBatch; batches < kRequestBatches && n == Fanout::kBatch;
       ++batches) {
    n = r.requests.receive(r.request_fd);
    for (int i = 0; i < n; ++i) {
      memcpy(buffer, r.requests.data(i), static_cast<size_t>(r.requests.length(i)));
      buffer[r.requests.length(i)] = '\0';
      // The relay's own answer to a name of this host where no client holds port 6012
      // comes back here: not a request, and no host's budget pays for it.
      if (is_own_output(r, r.requests.from(i)) && strncmp(buffer, kReply, strlen(kReply)) == 0)
        continue;
      if (r.upstreams.answered(buffer, static_cast<size_t>(r.requests.length(i)),
                               r.requests.from(i)))
        continue;
      serve_request(r, buffer, r.requests.from(i).sin_addr.s_addr, now);
    }
  }
}

// One log line per listener, then the totals.
void log_stats(const Relay& r, long long now) {
  for (int k = 0; k < r.ed.count(); ++k) {
    const VokListner& l = client(r.ed, k);
    char addr[INET_ADDRSTRLEN] = "no address";
    if (const sockaddr_in* to = l.destination())
      inet_ntop(AF_INET, &to->sin_addr, addr, sizeof addr);
    log_line("client [%s] at %s port %d for %lld s: relayed %lu datagrams of %lu bytes, "
             "send failures %lu, refusals %lu, replay %s",
             l.get_id(), addr, l.get_port(), (now - l.admitted()) / 1000, l.relayed,
             l.relayed_bytes, l.send_failures, l.refusals,
             l.replaying() ? "running" : "none");
  }
  const Totals& t = r.totals;
  std::string by_group;
  for (int g = 0; g < r.groups.count(); ++g) {
    char addr[INET_ADDRSTRLEN];
    const in_addr_t group = r.groups.group(g);
    by_group += (g == 0 ? "" : ", ") + std::string(inet_ntop(AF_INET, &group, addr, sizeof addr)) +
                " " + std::to_string(r.groups.received(g));
  }
  const std::string announced = r.outputs.counts();
  log_line(
      "up %lld s: received %lu datagrams (%s), relayed %lu, dropped as own output %lu, "
      "as from a listener %lu, as seen %lu, as unicast from elsewhere %lu, cut to %d bytes %lu; "
      "%s%s%s"
      "requests admitted %lu, refreshed %lu, "
      "turned down %lu, ignored %lu, ignored as from outside the allowed networks %lu, "
      "over budget %lu, not from the client %lu; removed as unreachable %lu, expired %lu; "
      "log lines lost %ld",
      (now - r.started) / 1000, t.received, by_group.c_str(), r.fanout.relayed(), t.own_output,
      t.from_listeners, t.seen, t.stranger, kDatagramMax, t.cut,
      announced.empty() ? "" : "announced on ", announced.c_str(), announced.empty() ? "" : "; ",
      t.admitted, t.refreshed, t.turned_down, t.ignored, t.outside, t.over_budget, t.not_owner,
      t.unreachable, t.expired, log_lost());
}

// Runs every lookup, replay step and file write that is due; when the next one is.
long long run_timers(Relay& r, long long now) {
  for (int k = 0; k < r.ed.count(); ++k)
    act(r, client(r.ed, k), client(r.ed, k).on(VokListner::kTimer, now), now);
  remove_leaving(r);
  long long next = now + kWaitMs;
  for (int k = 0; k < r.ed.count(); ++k)
    next = std::min(next, client(r.ed, k).due());
  next = std::min(next, r.service.run(now, [&r] { return status_line(r); }));
  next = std::min(next, r.upstreams.invite(r.request_fd, now));
  if (r.clients_changed) {
    if (r.clients_due <= now)
      write_kept(r, now);
    else
      next = std::min(next, r.clients_due);
  }
  return next;
}

// The pending clients file is written, then the quit line; status 1.
[[noreturn]] void done(Relay& r) {
  r.service.stopping();
  r.upstreams.stop(r.request_fd);
  if (r.clients_changed)
    write_kept(r, now_ms());
  log_line("vok_relay server quit");
  exit(1);
}

// Admits the clients kept by the last run, in their order, each logged: served
// without reply or replay. A name already registered is passed over.
void restore_clients(Relay& r) {
  const std::string path = clients_path();
  r.clients_file = path.empty() ? "$HOME/.vok/clients" : path;
  if (path.empty()) {
    log_line("cannot keep clients in %s", r.clients_file.c_str());
    r.clients_file.clear();
  }
  // Their time to expire counts from the start.
  const VokListner::Admission kept{VokListner::Admission::kKept, 0, false, r.expires_ms};
  for (const KeptClient& c : read_clients(path, kCapacity)) {
    if (r.ed.count() == kCapacity)
      r.unrestored.push_back(c);
    else if (admit(r, VokListner::make(c.name.c_str(), c.port, kept), r.started))
      log_line("client [%s] restored", c.name.c_str());
  }
}

[[noreturn]] void listen_pass_sd(Relay& r) {
  for (;;) {
    long long now = now_ms();
    const long long wait_ms = std::max(0LL, run_timers(r, now) - now);
    fd_set ready;
    FD_ZERO(&ready);
    int highest = -1;
    auto watch = [&](int fd) {
      if (fd >= 0) {
        FD_SET(fd, &ready);
        highest = std::max(highest, fd);
      }
    };
    for (int fd : {r.request_fd, r.resolver.fd(), r.local.fd()})
      watch(fd);
    for (int g = 0; g < r.groups.count(); ++g)
      watch(r.groups.fd(g));
    // Each listener's socket wakes the loop with the ICMP reports about it.
    for (int k = 0; k < r.ed.count(); ++k)
      watch(client(r.ed, k).fd());
    const int n = wait_readable(highest + 1, &ready, wait_ms);
    if (quit_signal() != 0)
      done(r);
    now = now_ms();
    if (stats_requested())
      log_stats(r, now);
    if (n <= 0)
      continue;
    // Address changes first, so the loop guard knows them before the datagrams.
    // The same notices tell of interfaces that come and go.
    if (r.local.fd() >= 0 && FD_ISSET(r.local.fd(), &ready)) {
      r.local.refresh();
      r.groups.refresh();
      r.outputs.refresh(r.groups);
    }
    for (int k = 0; k < r.ed.count(); ++k) {
      VokListner& l = client(r.ed, k);
      if (l.fd() >= 0 && FD_ISSET(l.fd(), &ready))
        l.read_errors(now);
    }
    // Addresses found first, so the datagrams of this wake-up reach them.
    if (FD_ISSET(r.resolver.fd(), &ready))
      take_lookups(r, now);
    for (int g = 0; g < r.groups.count(); ++g) {
      if (FD_ISSET(r.groups.fd(g), &ready))
        relay_announcements(r, g, now);
    }
    if (FD_ISSET(r.request_fd, &ready))
      serve_requests(r, now);
    remove_leaving(r);
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
  Relay& r = *new Relay;
  r.started = now_ms();
  r.loadcache = args == 1 && strcmp(arg[0], "-loadcache") == 0;
  r.allowed = o.allowed;
  r.upstreams = o.upstreams;
  r.expires_ms = o.expire_s > 0 ? o.expire_s * 1000 + kExpirySlackMs : 0;
  if (r.loadcache)
    log_line("enable loading cache");
  if (args > 2 || (args == 1 && !r.loadcache)) {  // ignored, as they always were, but said
    std::string ignored;
    for (int i = 0; i < args; ++i)
      ignored += std::string(i == 0 ? "" : " ") + arg[i];
    log_line("ignored arguments: %s", ignored.c_str());
  }
  std::string unknown;
  if (!r.upstreams.resolve(&unknown))
    fail(kCannotStart, ("cannot resolve " + unknown).c_str(), "cannot resolve " + unknown);
  if (!r.resolver.open())
    fail(kCannotStart, "cannot start the resolver", "cannot start the resolver");
  // Its ports are its own: a second relay here would share them, and its clients file.
  if (net_port_held(kRequestPort))
    fail(kCannotStart, "cannot open socket to listen to request",
         "UDP port 6012 is taken: is another vok_relay running here?");
  r.local.open();
  r.groups.add(inet_addr(kSapGroup));
  for (in_addr_t g : o.groups)
    r.groups.add(g);
  r.groups.listen_on(o.interfaces);
  r.outputs.announce_on(o.outputs, static_cast<int>(o.ttl));
  if (!r.groups.open(kAnnouncePort, kAnnounceBuffer))
    fail(kCannotStart, "cannot open socket for listening sd\n",
         "cannot bind UDP port 9875: another program holds it");
  // All addresses, without asking what this host's name is: nothing uses it.
  r.request_fd = net_bind_own(nullptr, kRequestPort);
  if (r.request_fd < 0)
    fail(kCannotStart, "cannot open socket to listen to request",
         "cannot bind UDP port 6012: another program holds it");
  net_rcvbuf(r.request_fd, kRequestBuffer);
  r.groups.refresh();
  r.outputs.refresh(r.groups);
  if (args == 2) {  // the first, always admitted
    const VokListner::Admission cmdline{VokListner::Admission::kCommandLine};
    admit(r, VokListner::make(arg[0], atoi(arg[1]), cmdline), r.started);
  }
  restore_clients(r);
  // The clients file is written now, so that whether it can be is known from the start.
  write_kept(r, r.started);
  r.service.open(r.started);
  r.service.ready(status_line(r));
  close(said_to);
  listen_pass_sd(r);
}
