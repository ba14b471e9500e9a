// relay.cc -- the relay's rules: who is served, for how long, and what is relayed to them.
#include "relay.h"

#include <arpa/inet.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "cache.h"
#include "common/address.h"
#include "common/protocol.h"
#include "local_addrs.h"

// One client's life, every transition in its own method, each doing its own actions: kNew
// (admitted, its name not yet resolved) -> kReplaying (answered, the cached sessions going
// out a second apart) -> kServed. A client restored or named on the command line starts
// served.
class Client {
 public:
  Client(Relay& r, Listener* l, int port, Relay::Origin origin, const Address& invited_from,
         long long now)
      : listener(l),
        port(port),
        r_(r),
        origin_(origin),
        invited_from_(invited_from),
        admitted_(now),
        refreshed_(now),
        stage_(origin == Relay::kInvited ? kNew : kServed) {}
  ~Client() {
    if (resolving_)
      r_.outside_.cancel(lookup_);
    delete listener;
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  const char* id() const { return listener->get_id(); }
  bool from_command_line() const { return origin_ == Relay::kCommandLine; }
  bool resolving(unsigned tag) const { return resolving_ && lookup_ == tag; }
  // True when addr is where its name resolves to: the client itself.
  bool lives_at(const Address& addr) const { return !addr_.empty() && addr == addr_; }
  const Address& address() const { return addr_; }
  bool replaying() const { return stage_ == kReplaying; }
  long long admitted() const { return admitted_; }

  // Only the client may undo its registration (from its own address, or from where its
  // invitation came) or prolong it (from its own address): nobody can cut another host off,
  // nor keep a host served that never asked.
  bool owned_by(const Address& from, bool stop) const {
    return lives_at(from) || (stop && !invited_from_.empty() && from == invited_from_);
  }

  // Asks for its address; the answer comes back through resolved().
  void look_up(long long now) {
    resolving_ = true;
    lookup_ = ++r_.lookups_;
    looked_up_ = now;
    r_.outside_.look_up(lookup_, id(), stage_ != kNew);
  }

  // Its lookup has answered, whatever is done with the answer.
  void answered() { resolving_ = false; }
  // Takes the answer. A name that did not resolve keeps the old address, so a name server
  // that fails for a while costs nothing.
  void resolved(const Address& addr, long long now) {
    const bool found = !addr.empty();
    if (found && addr != addr_) {
      addr_ = addr;
      listener->set_address(addr);
    }
    if (stage_ == kNew && found && addr == invited_from_)
      invited_self_ = admitted_;
    next_lookup_ = now + (!addr_.empty() ? Relay::kRefreshMs : Relay::kRetryMs);
    if (stage_ != kNew || addr_.empty())
      return;  // the answer waits for an address
    r_.outside_.reply(addr_, std::string(kReply) + " " + id());
    if (r_.config_.loadcache) {
      stage_ = kReplaying;
      replay_due_ = now;
      replay_.start(&r_.sessions_, now);
      step(now);
    } else {
      served();
    }
  }

  // Invited again, from its own address: kept.
  void refreshed(long long now) { refreshed_ = invited_self_ = now; }

  // Whatever of its deadlines has passed: expiry, a lookup, its replay's next step.
  void timer(long long now) {
    if (r_.expires_ms_ > 0 && now - refreshed_ >= r_.expires_ms_ && !from_command_line()) {
      ++r_.stats_.expired;
      let_go("expired");
      return;
    }
    if (!resolving_ && next_lookup_ <= now)
      look_up(now);
    if (stage_ == kReplaying && replay_due_ <= now)
      step(now);
  }

  // What its listener's counts tell since last asked: a failed send brings the next lookup
  // forward, to a second after the last; refusals for a minute show it gone.
  void notice(long long now) {
    const Listener::Counts& n = listener->counts();
    if (n.failures > failures_ && next_lookup_ > looked_up_ + 1000)
      next_lookup_ = looked_up_ + 1000;
    failures_ = n.failures;
    if (n.refusals > refusals_ && refused(now) && !leaving) {
      ++r_.stats_.unreachable;
      let_go("unreachable, removed");
    }
    refusals_ = n.refusals;
    if (n.sent > sent_ && sent_unrefused_ < 0)
      sent_unrefused_ = now;
    sent_ = n.sent;
  }

  // Its earliest deadline: the next lookup, its replay's next step, or its expiry.
  long long due() const {
    long long at = resolving_ ? LLONG_MAX : next_lookup_;
    if (r_.expires_ms_ > 0 && !from_command_line())
      at = std::min(at, refreshed_ + r_.expires_ms_);
    return stage_ == kReplaying ? std::min(at, replay_due_) : at;
  }

  // Let go, with the line that says why: it leaves the registry when the event is done, so
  // that no walk over the registry sees it shrink.
  void let_go(const char* why) {
    r_.say("client [%s] %s", id(), why);
    leaving = true;
  }

  Listener* const listener;
  const int port;
  bool leaving = false;

 private:
  enum Stage { kNew, kReplaying, kServed };

  void served() {
    stage_ = kServed;
    r_.say("a new client [%s]", id());
  }
  // Sends its replay's next datagram (not an announcement: not counted as relayed).
  void step(long long now) {
    mmsghdr entry;
    if (!replay_.next(&entry)) {
      served();
      return;
    }
    listener->send_msg(-1, static_cast<const char*>(entry.msg_hdr.msg_iov->iov_base),
                       static_cast<int>(entry.msg_hdr.msg_iov->iov_len));
    replay_due_ = now + Relay::kReplayPauseMs;
  }
  // Counts a refusal at now; true when the client is to be removed.
  bool refused(long long now) {
    if (refused_since_ < 0 || (sent_unrefused_ >= 0 && now - sent_unrefused_ >= Relay::kAliveMs))
      refused_since_ = now;
    sent_unrefused_ = -1;
    const bool shows_alive = invited_self_ >= 0 && now - invited_self_ < Relay::kShowsAliveMs;
    return !from_command_line() && !shows_alive && now - refused_since_ >= Relay::kDeadMs;
  }

  Relay& r_;
  const Relay::Origin origin_;
  const Address invited_from_;  // the invitation's source, or none
  Address addr_;                // where its name resolved to, or none
  long long admitted_;
  long long refreshed_;          // admitted or last invited again
  long long invited_self_ = -1;  // when it last invited itself, from its own address
  Stage stage_;
  Replay replay_;  // the cache entries still to send it
  long long replay_due_ = 0;
  bool resolving_ = false;   // a lookup is on its way
  unsigned lookup_ = 0;      // its tag, new for each lookup
  long long looked_up_ = 0;  // when the last lookup began
  long long next_lookup_ = 0;
  unsigned long failures_ = 0, refusals_ = 0, sent_ = 0;  // the listener's counts, last seen
  long long refused_since_ = -1;   // the first refusal of the present run of them
  long long sent_unrefused_ = -1;  // the first send since the last refusal
};

Relay::Relay(const Config& config, Outside& outside, const LocalAddrs& local, long long now)
    : config_(config),
      outside_(outside),
      local_(local),
      started_(now),
      expires_ms_(config.expire_s > 0 ? config.expire_s * 1000 + kExpirySlackMs : 0) {}

Relay::~Relay() {
  for (int k = 0; k < ed_.count(); ++k)
    delete clients_[k];
}

void Relay::say(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  outside_.log(line);
}

bool Relay::admit(const char* name, int port, Origin origin, const Address& from, long long now) {
  Listener* l = ed_.count() < kCapacity ? outside_.listener(name, port) : nullptr;
  if (l == nullptr)
    return false;
  Client* c = new Client(*this, l, port, origin, from, now);
  if (ed_.new_listener(l) == 0) {
    delete c;
    return false;
  }
  clients_[ed_.count() - 1] = c;
  changed();
  c->look_up(now);
  return true;
}

void Relay::remove(Client* c) {
  ed_.remove_listener(c->id());
  std::remove(clients_, clients_ + ed_.count() + 1, c);
  delete c;
  changed();
}

void Relay::remove_leaving() {
  for (int k = ed_.count() - 1; k >= 0; --k) {
    if (clients_[k]->leaving)
      remove(clients_[k]);
  }
}

void Relay::serve(const char* name, int port, long long now) {
  admit(name, port, kCommandLine, Address(), now);
}

void Relay::restore(const std::vector<KeptClient>& kept, long long now) {
  for (const KeptClient& c : kept) {
    if (admit(c.name.c_str(), c.port, kKept, Address(), now))
      say("client [%s] restored", c.name.c_str());
    else if (ed_.count() == kCapacity)
      unrestored_.push_back(c);
  }
}

Client* Relay::registered(const char* name) const {
  for (int k = 0; k < ed_.count(); ++k) {
    if (!clients_[k]->leaving && strcmp(clients_[k]->id(), name) == 0)
      return clients_[k];
  }
  return nullptr;
}

void Relay::request(const char* text, size_t len, const sockaddr_in& source, long long now) {
  const in_addr_t from = source.sin_addr.s_addr;
  const Address sender = Address::ipv4(from);
  // The relay's own answer to a name of this host where no client holds port 6012 comes
  // back here: not a request, and no host's budget pays for it.
  const bool own = source.sin_port == htons(kRequestPort) && local_.has(from);
  std::string said;
  if ((own && strncmp(text, kReply, strlen(kReply)) == 0) ||
      config_.upstreams.answered(text, len, source, now, &said)) {
    if (!said.empty())
      say("%s", said.c_str());
    return;
  }
  Request req;
  Address quad;
  if (!config_.allowed.allows(from, local_)) {
    ++stats_.outside;
  } else if (!budgets_.take(from, now)) {
    ++stats_.over_budget;
  } else if (!parse_request(text, &req)) {
    ++stats_.ignored;
  } else if (strcmp(req.cmd, kInvite) == 0 && parse_address(req.name, &quad) &&
             !local_.unicast(quad.v4())) {
    ++stats_.turned_down;  // a dotted quad that would reach many hosts, refused silently
  } else {
    const bool invite = strcmp(req.cmd, kInvite) == 0, stop = strcmp(req.cmd, kStop) == 0;
    Client* known = invite || stop ? registered(req.name) : nullptr;
    if (known != nullptr && !known->owned_by(sender, stop)) {
      ++stats_.not_owner;
    } else if (known != nullptr && invite) {  // answered when it was admitted: this keeps it
      ++stats_.refreshed;
      known->refreshed(now);
    } else if (known != nullptr) {
      say("client [%s] quit", req.name);
      remove(known);
    } else if (!invite) {
      ++stats_.ignored;  // a stop for a name not registered, or another word
    } else {
      ++(admit(req.name, kAnnouncePort, kInvited, sender, now) ? stats_.admitted
                                                               : stats_.turned_down);
    }
  }
  remove_leaving();
}

// An address that would reach many hosts, one outside the allowed networks, or one served
// already (however its name is spelt) lets its client go.
void Relay::resolved(unsigned tag, const Address& addr, long long now) {
  Client* c = nullptr;
  for (int k = 0; k < ed_.count() && c == nullptr; ++k)
    c = clients_[k]->resolving(tag) ? clients_[k] : nullptr;
  if (c == nullptr)
    return;  // it has gone, or asked again
  c->answered();
  const Client* twin = nullptr;
  const bool found = !addr.empty();
  for (int k = 0; k < ed_.count() && found; ++k) {
    const Client* o = clients_[k];
    if (o != c && !o->leaving && o->lives_at(addr) && o->port == c->port)
      twin = o;
  }
  if (found && !local_.unicast(addr.v4())) {
    c->let_go("not served: a group or broadcast address");
  } else if (found && !c->from_command_line() && !config_.allowed.allows(addr.v4(), local_)) {
    c->let_go("not served: outside the allowed networks");  // the command line's is chosen
  } else if (twin != nullptr) {
    const std::string why = "not served: " + addr.text() + " port " + std::to_string(c->port) +
                            " is served already as [" + twin->id() + "]";
    c->let_go(why.c_str());
  } else {
    c->resolved(addr, now);
    notice(now);  // a replay's first step has gone
  }
  remove_leaving();
}

bool Relay::admits(int g, const Arrival& a, long long now) {
  ++stats_.received;
  ++stats_.by_group[g];
  stats_.cut += a.cut;
  // Everything the relay sends leaves from port 6012 of this host, so a datagram from there
  // is its own output come back (a client named after this host, or the group itself).
  const bool from_6012 = a.from.sin_port == htons(kRequestPort);
  if (from_6012 && local_.has(a.from.sin_addr.s_addr)) {
    ++stats_.own_output;
    return false;
  }
  // A listener never feeds its relay: from its port 6012 comes a vok_client -m copy, or the
  // output of a relay that this one serves and that serves it, a circle.
  for (int k = 0; k < ed_.count() && from_6012; ++k) {
    if (clients_[k]->lives_at(Address::ipv4(a.from.sin_addr.s_addr))) {
      ++stats_.from_listeners;
      return false;
    }
  }
  // Unicast is a feed: with -a or -u, only the upstreams' and the allowed networks'.
  const bool guarded = !config_.allowed.empty() || !config_.upstreams.empty();
  if (guarded && !a.to_group && !config_.upstreams.feeds(a.from) &&
      (config_.allowed.empty() || !config_.allowed.allows(a.from.sin_addr.s_addr, local_))) {
    ++stats_.stranger;
    return false;
  }
  // Back by another way (another relay on the same links, a chain): once is enough.
  if (seen_.again(a.data, a.len, a.from, now)) {
    ++stats_.seen;
    return false;
  }
  if (config_.loadcache)
    sessions_.remember(a.data, a.len, now);
  return true;
}

void Relay::relayed(int n, long long now) {
  stats_.relayed += static_cast<unsigned>(n);
  last_announcement_ = time(nullptr);
  status_changed_ = true;
  notice(now);
}

void Relay::notice(long long now) {
  for (int k = 0; k < ed_.count(); ++k)
    clients_[k]->notice(now);
  remove_leaving();
}

// The file follows the registry within kKeepPauseMs, one write for any number of changes.
// Those the last run kept that found no place (the command line's took one) stay in it,
// after the others, until new clients need their places.
void Relay::write_kept(long long now) {
  clients_changed_ = false;
  clients_due_ = now + kKeepPauseMs;
  if (!config_.keeps)
    return;
  std::vector<KeptClient> kept;
  for (int k = 0; k < ed_.count(); ++k) {
    if (!clients_[k]->from_command_line())
      kept.push_back({clients_[k]->id(), clients_[k]->port});
  }
  for (const KeptClient& c : unrestored_) {
    const bool there = std::any_of(kept.begin(), kept.end(),
                                   [&c](const KeptClient& k) { return k.name == c.name; });
    if (!there && static_cast<int>(kept.size()) < kCapacity)
      kept.push_back(c);
  }
  outside_.keep(kept);
}

long long Relay::run_timers(long long now) {
  for (int k = 0; k < ed_.count(); ++k)
    clients_[k]->timer(now);
  notice(now);
  long long next = now + kWaitMs;
  for (int k = 0; k < ed_.count(); ++k)
    next = std::min(next, clients_[k]->due());
  if (clients_changed_) {
    if (clients_due_ <= now)
      write_kept(now);
    else
      next = std::min(next, clients_due_);
  }
  return next;
}

void Relay::finish(long long now) {
  if (clients_changed_)
    write_kept(now);
}

bool Relay::take_changed() {
  const bool was = status_changed_;
  status_changed_ = false;
  return was;
}

std::string Relay::status_line() const {
  char last[64] = "no announcement yet";
  tm at;
  const time_t when = static_cast<time_t>(last_announcement_);
  if (when != 0 && localtime_r(&when, &at) != nullptr)
    strftime(last, sizeof last, "last announcement at %H:%M:%S", &at);
  return std::to_string(ed_.count()) + (ed_.count() == 1 ? " client, " : " clients, ") +
         std::to_string(stats_.relayed) + " datagrams relayed, " + last;
}

void Relay::log_stats(long long now, const std::vector<Address>& groups,
                      const std::string& announced, long lost) const {
  for (int k = 0; k < ed_.count(); ++k) {
    const Client& c = *clients_[k];
    const Listener::Counts& n = c.listener->counts();
    outside_.log(std::string("client [") + c.id() + "] at " + c.address().text() + " port " +
                 std::to_string(c.port) + " for " + std::to_string((now - c.admitted()) / 1000) +
                 " s: relayed " + std::to_string(n.relayed) + " datagrams of " +
                 std::to_string(n.bytes) + " bytes, send failures " + std::to_string(n.failures) +
                 ", refusals " + std::to_string(n.refusals) + ", replay " +
                 (c.replaying() ? "running" : "none"));
  }
  const Stats& t = stats_;
  std::string by_group;
  for (size_t g = 0; g < groups.size(); ++g)
    by_group += (g == 0 ? "" : ", ") + groups[g].text() + " " + std::to_string(t.by_group[g]);
  char line[1024];
  snprintf(line, sizeof line,
           "up %lld s: received %lu datagrams (%s), relayed %lu, dropped as own output %lu, "
           "as from a listener %lu, as seen %lu, as unicast from elsewhere %lu, cut to %d "
           "bytes %lu; %s%s%srequests admitted %lu, refreshed %lu, turned down %lu, ignored "
           "%lu, ignored as from outside the allowed networks %lu, over budget %lu, not from "
           "the client %lu; removed as unreachable %lu, expired %lu; log lines lost %ld",
           (now - started_) / 1000, t.received, by_group.c_str(), t.relayed, t.own_output,
           t.from_listeners, t.seen, t.stranger, kDatagramMax, t.cut,
           announced.empty() ? "" : "announced on ", announced.c_str(),
           announced.empty() ? "" : "; ", t.admitted, t.refreshed, t.turned_down, t.ignored,
           t.outside, t.over_budget, t.not_owner, t.unreachable, t.expired, lost);
  outside_.log(line);
}
