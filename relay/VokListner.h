// VokListner.h -- a client host and port that relayed datagrams are sent to, with the
// state the loop keeps for it: its own sending socket, its address, its next lookup, its replay.
#ifndef VOK_RELAY_VOK_LISTNER_H
#define VOK_RELAY_VOK_LISTNER_H

#include <netinet/in.h>
#include <sys/socket.h>

#include "EventsDismisser.h"
#include "cache.h"
#include "common/protocol.h"

class VokListner : public Listener {
 public:
  // Longest host name a listener can carry; longer names are refused, never
  // cut, since a cut name would be some other host.
  static const int kMaxId = 31;

  // A new listener with no address yet, or null when name is empty or longer
  // than kMaxId.
  static VokListner* make(const char* name, int port);
  ~VokListner() override;

  // Sends through its own socket, never waiting (fd is not used): nothing
  // while it has no address; a copy that cannot go is counted as a failure.
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
  // Takes a lookup's result and connects its socket to it: 0 (the name did
  // not resolve) keeps the old address, so a name server that fails for a
  // while costs nothing. False when the socket cannot be connected (no route):
  // sends then fail, counted, until a later lookup connects it.
  bool set_address(in_addr_t addr);

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
  // is there after all, and the count starts again.
  static const long long kDeadMs = 60 * 1000;
  static const long long kAliveMs = 10 * 1000;
  // Counts a refusal at now (ms); true when the listener is to be removed.
  // The command line's listener never is: it cannot invite itself back.
  bool refused(long long now);

  // Counts a datagram sent at now (ms); relaying: an announcement.
  void count_sent(unsigned bytes, long long now, bool relaying = true);
  unsigned long relayed = 0, relayed_bytes = 0, send_failures = 0, refusals = 0;

  // The loop's bookkeeping (monotonic milliseconds).
  long long admitted = 0;
  bool from_command_line = false;  // neither kept in the clients file nor removed by refusals
  enum Stage { kNew, kReplaying, kServed };
  Stage stage = kNew;         // kNew until its name first resolves
  bool resolving = false;     // a lookup is on its way
  unsigned lookup = 0;        // its tag, new for each lookup
  long long looked_up = 0;    // when the last lookup started
  long long next_lookup = 0;  // when its name is looked up again
  Replay replay;              // the cache entries still to send it
  long long replay_due = 0;   // when the next one goes

 private:
  VokListner(const char* name, int port);
  // A failed send also brings its next lookup forward, to a second after the last.
  void count_failures(int n);

  char id[kMaxId + 1];
  int port;
  int sock = -1;
  sockaddr_in to;
  bool dead = false;              // refusals have shown it gone
  long long refused_since = -1;   // the first refusal of the present run of them
  long long sent_unrefused = -1;  // the first send since the last refusal
};

#endif
