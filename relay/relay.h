// relay.h -- the relay's rules: who is served, for how long, and what is relayed to them. Each
// event is a method that takes the time (monotonic ms), so that a test holds the clock.
#ifndef VOK_RELAY_RELAY_H
#define VOK_RELAY_RELAY_H

#include <netinet/in.h>

#include <string>
#include <vector>

#include "EventsDismisser.h"
#include "access.h"
#include "clients_file.h"
#include "groups.h"
#include "seen.h"
#include "sessions.h"
#include "upstreams.h"

class LocalAddrs;
class Client;

// What the rules ask of the world besides the listeners themselves.
class Outside {
 public:
  virtual ~Outside() = default;
  // A new listener for name at port, with no address yet; null when none can be made.
  virtual Listener* listener(const char* name, int port) = 0;
  // Sends text to port 6012 at addr, from port 6012.
  virtual void reply(const Address& addr, const std::string& text) = 0;
  // Asks for name's address, to come back to Relay::resolved with tag; registered: the name
  // is a served client's.
  virtual void look_up(unsigned tag, const char* name, bool registered) = 0;
  // Forgets the lookup with tag.
  virtual void cancel(unsigned tag) = 0;
  virtual void log(const std::string& line) = 0;
  // Keeps the invited clients, in order of admission, for the next run.
  virtual void keep(const std::vector<KeptClient>& clients) = 0;
};

// Everything counted, reported by the statistics.
struct Stats {
  unsigned long received, own_output, from_listeners, seen, stranger, cut, relayed;
  unsigned long admitted, refreshed, turned_down, ignored, outside, over_budget, not_owner;
  unsigned long unreachable, expired;
  unsigned long by_group[Groups::kMax];  // received on each group's socket
};

// One datagram taken from a group's socket.
struct Arrival {
  const char* data;
  int len;
  sockaddr_in from;
  bool to_group;  // sent to a group, not to an address of this host
  bool cut;       // longer than kDatagramMax
};

class Relay {
 public:
  static const int kCapacity = 4;
  // Names are looked up again this often, and this often while they have no address; a
  // replay sends one datagram each kReplayPauseMs.
  static const long long kRefreshMs = 60 * 1000;
  static const long long kRetryMs = 5 * 1000;
  static const long long kReplayPauseMs = 1000;
  // Refusals (ICMP port or host unreachable) that keep coming for kDeadMs mean the client is
  // gone; kAliveMs of datagrams sent without one mean it is there after all, and the count
  // starts again. Anyone can forge a refusal, so they are a hint only: a client that invited
  // itself, from its own address, within kShowsAliveMs is alive whatever they say.
  static const long long kDeadMs = 60 * 1000;
  static const long long kAliveMs = 10 * 1000;
  static const long long kShowsAliveMs = kDeadMs + 10 * 1000;
  // A client's invitation every minute keeps it past -e 60: its timer and the network may
  // make one a little late.
  static const long long kExpirySlackMs = 5000;
  static const long long kKeepPauseMs = 1000;   // the clients file is written at most this often
  static const long long kWaitMs = 120 * 1000;  // the longest the loop sleeps

  struct Config {
    bool loadcache = false;  // new clients get the cache and the live sessions first
    long expire_s = 0;       // -e; 0: registrations never expire
    Networks allowed;        // who may ask and be served (-a)
    Upstreams upstreams;     // the relays this one registers with (-u)
    bool keeps = true;       // the clients file can be written
  };

  Relay(const Config& config, Outside& outside, const LocalAddrs& local, long long now);
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // The command line's client: served at once, never expired, never removed by refusals.
  void serve(const char* name, int port, long long now);
  // The clients the last run kept, in their order, each served at once without reply or
  // replay; those that find no place stay in the file.
  void restore(const std::vector<KeptClient>& kept, long long now);

  // A request (NUL-ended text) from source's port.
  void request(const char* text, size_t len, const sockaddr_in& source, long long now);
  // A lookup's answer: the address, or none when the name did not resolve.
  void resolved(unsigned tag, const Address& addr, long long now);
  // Whether a datagram from group g's socket is relayed; those that are, are remembered.
  bool admits(int g, const Arrival& a, long long now);
  // Where the batch admitted has gone: to every listener, and n datagrams of it were sent.
  void relayed(int n, long long now);
  // What the listeners' sends and reports told since last asked: failures bring a lookup
  // forward, refusals may show a client gone.
  void notice(long long now);
  // Does what is due; when the next thing is.
  long long run_timers(long long now);
  // Writes what is pending; the relay is ending.
  void finish(long long now);

  // The listeners, in order of admission.
  EventsDismisser& registry() { return ed_; }
  Upstreams& upstreams() { return config_.upstreams; }
  const Stats& stats() const { return stats_; }
  // True once since the status line last changed.
  bool take_changed();
  // The one line systemd shows.
  std::string status_line() const;
  // One log line per client, then the totals; groups: each group's address, announced:
  // the copies per output link, or "".
  void log_stats(long long now, const std::vector<Address>& groups, const std::string& announced,
                 long lost) const;

 private:
  friend class Client;
  enum Origin { kInvited, kKept, kCommandLine };
  Client* registered(const char* name) const;
  // Takes a new client into the registry, where its life starts; false when there is no
  // room, the name is taken or is not a name a listener can carry.
  bool admit(const char* name, int port, Origin origin, const Address& from, long long now);
  void remove(Client* c);
  void remove_leaving();
  void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void changed() { clients_changed_ = status_changed_ = true; }
  void write_kept(long long now);

  Config config_;
  Outside& outside_;
  const LocalAddrs& local_;
  EventsDismisser ed_{kCapacity};
  Client* clients_[kCapacity] = {};  // beside ed_, in its order
  Seen seen_;
  Budgets budgets_;
  Sessions sessions_;                   // remembered only with -loadcache, for new clients
  std::vector<KeptClient> unrestored_;  // kept by the last run, but found no place
  Stats stats_ = {};
  long long started_;
  long long expires_ms_;          // with its slack; 0: never
  unsigned lookups_ = 0;          // tags handed out so far: each lookup's is new
  // The file is behind the registry; at first too, so that whether it can be written is
  // known at once.
  bool clients_changed_ = true;
  long long clients_due_ = 0;     // when it may be written next
  bool status_changed_ = false;
  long long last_announcement_ = 0;  // wall clock, s, or 0
};

#endif
