// VokListner.h -- a client host and port that relayed datagrams are sent to, with the
// state the loop keeps for it: its own sending socket, its address, its next lookup, its replay.
#ifndef VOK_RELAY_VOK_LISTNER_H
#define VOK_RELAY_VOK_LISTNER_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <optional>

#include "EventsDismisser.h"
#include "cache.h"
#include "common/protocol.h"

class VokListner : public Listener {
 public:
  // Longest host name a listener can carry, as a request can: longer names are
  // refused, never cut, since a cut name would be some other host.
  static const int kMaxId = Request::kWordMax;

  // How a listener comes to the registry, and what that gives it.
  struct Admission {
    enum Origin { kInvited, kKept, kCommandLine };
    Origin origin = kInvited;    // kKept: restored from the clients file
    in_addr_t invited_from = 0;  // the invitation's source
    bool replays = false;        // answered, it gets the cached sessions first (-loadcache)
    long long expires_ms = 0;    // removed when not invited again for so long; 0: never
  };

  // A new listener with no address yet, or null when name is not a
  // printable_word (empty, longer than kMaxId, or with other bytes).
  static VokListner* make(const char* name, int port, const Admission& how);
  ~VokListner() override;

  // One datagram, as send_batch sends it but not counted as relayed, at the
  // clock's time (fd is not used: it has its own socket). The loop itself
  // sends by the batch.
  void send_msg(int fd, const char* msg, int len) override;
  const char* get_id() const override { return id; }
  int get_port() const { return port; }

  // Its sending socket: bound to kRequestPort beside the request socket and
  // connected to its address, so that a slow link fills only its own send
  // buffer and ICMP reports about it arrive here alone. -1 while it has no
  // address, or none that can be reached.
  int fd() const { return sock; }
  // Where datagrams for it go, or null while its name has no address.
  const sockaddr_in* destination() const { return to.sin_addr.s_addr != 0 ? &to : nullptr; }

  // Sends the n datagrams of msgs (no addresses: the socket is connected) in
  // one call where it can, at now (ms). A refusal pending from an earlier send
  // is read and the copy sent again; a full send buffer fails the rest of the
  // batch. How many went; relaying: they are announcements, for the counts.
  int send_batch(mmsghdr* msgs, int n, long long now, bool relaying = true);
  // Reads the ICMP reports queued on its socket and drops any datagram that
  // arrived there; true when refusals show the client to be gone.
  bool read_errors(long long now);
  // True once refusals have shown the client to be gone.
  bool gone() const { return dead; }


  // Refusals (ICMP port or host unreachable) that keep coming for kDeadMs mean
  // the client is gone; kAliveMs of datagrams sent without one mean the client
  // is there after all, and the count starts again. Anyone can forge a refusal,
  // so they are a hint only: a client that invited itself, from its own
  // address, within kShowsAliveMs is alive whatever they say.
  static const long long kDeadMs = 60 * 1000;
  static const long long kAliveMs = 10 * 1000;
  static const long long kShowsAliveMs = kDeadMs + 10 * 1000;
  // Counts a refusal at now (ms); true when the listener is to be removed.
  // The command line's listener never is: it cannot invite itself back.
  bool refused(long long now);

  // Counts a datagram sent at now (ms); relaying: an announcement.
  void count_sent(unsigned bytes, long long now, bool relaying = true);
  unsigned long relayed = 0, relayed_bytes = 0, send_failures = 0, refusals = 0;

  // One client's life, its transitions all here: kNew (admitted, its name not
  // yet resolved) -> kReplaying (answered, the cached sessions going out a
  // second apart) -> kServed. A client restored or named on the command line
  // starts served. The loop reports each event, with the time (monotonic ms),
  // and does what comes back.
  enum Event {
    kAdmitted,   // taken into the registry
    kResolved,   // its lookup has answered, with the address if the name resolved
    kTimer,      // one of its deadlines may have passed
    kReplayed,   // its replay has nothing more to send
    kRefreshed,  // invited again, from its own address
  };
  enum Action {  // bits of what on() returns
    kLookUp = 1,       // look its name up
    kAnswer = 2,       // send it the answer to its invitation
    kStartReplay = 4,  // start its replay
    kReplayStep = 8,   // send its replay's next datagram
    kWelcome = 16,     // log it as a new client
    kExpire = 32,      // remove it: not invited again in time
  };
  int on(Event e, long long now, std::optional<in_addr_t> address = std::nullopt);
  // Names are looked up again this often, and this often while they have no
  // address; a replay sends one datagram each kReplayPauseMs.
  static const long long kRefreshMs = 60 * 1000;
  static const long long kRetryMs = 5 * 1000;
  static const long long kReplayPauseMs = 1000;

  // A lookup with tag has begun at now.
  void looking_up(unsigned tag, long long now);
  bool resolving() const { return resolving_; }
  // The tag of its present or last lookup.
  unsigned lookup_tag() const { return lookup_; }
  // True once it is served: answered, restored, or the command line's.
  bool served() const { return stage != kNew; }
  bool replaying() const { return stage == kReplaying; }
  long long admitted() const { return admitted_; }
  // True when addr is where its name resolves to: the client itself.
  bool lives_at(in_addr_t addr) const {
    return destination() != nullptr && addr == to.sin_addr.s_addr;
  }
  // Its earliest deadline: the next lookup, its replay's next step, or its expiry.
  long long due() const;

  // Neither kept in the clients file nor removed by refusals.
  bool from_command_line() const { return how_.origin == Admission::kCommandLine; }
  // True when addr is where its invitation came from.
  bool invited_from(in_addr_t addr) const {
    return how_.invited_from != 0 && addr == how_.invited_from;
  }

  Replay replay;         // the cache entries still to send it
  bool leaving = false;  // let go: the loop removes it when this pass is done

 private:
  enum Stage { kNew, kReplaying, kServed };
  Stage stage = kNew;
  long long admitted_ = 0;
  long long refreshed_ = 0;   // admitted or last invited again
  long long invited_self_ = -1;  // when it last invited itself, from its own address
  bool resolving_ = false;    // a lookup is on its way
  unsigned lookup_ = 0;       // its tag, new for each lookup
  long long looked_up = 0;    // when the last lookup began
  long long next_lookup = 0;  // when its name is looked up again
  long long replay_due = 0;   // when its replay's next datagram goes

  VokListner(const char* name, int port, const Admission& how);
  // Takes its address and connects its socket to it. Where the socket cannot
  // be connected (no route), sends fail, counted, until a later lookup
  // connects it.
  void set_address(in_addr_t addr);
  // A failed send also brings its next lookup forward, to a second after the last.
  void count_failures(int n);

  char id[kMaxId + 1];
  int port;
  const Admission how_;
  int sock = -1;
  sockaddr_in to;
  bool dead = false;              // refusals have shown it gone
  long long refused_since = -1;   // the first refusal of the present run of them
  long long sent_unrefused = -1;  // the first send since the last refusal
};

#endif
