// VokListner.h -- a client host and port that relayed datagrams are sent to, with the
// state the loop keeps for it: the address last found, its next lookup, its replay.
#ifndef VOK_RELAY_VOK_LISTNER_H
#define VOK_RELAY_VOK_LISTNER_H

#include <netinet/in.h>

#include "EventsDismisser.h"
#include "cache.h"

class VokListner : public Listener {
 public:
  // Longest host name a listener can carry; longer names are refused, never
  // cut, since a cut name would be some other host.
  static const int kMaxId = 31;

  // A new listener with no address yet, or null when name is empty or longer
  // than kMaxId.
  static VokListner* make(const char* name, int port);

  // Sends to the address last found; nothing while there is none.
  void send_msg(int fd, const char* msg, int len) override;
  const char* get_id() const override { return id; }
  int get_port() const { return port; }

  // Where datagrams for it go, or null while its name has no address.
  const sockaddr_in* destination() const { return to.sin_addr.s_addr != 0 ? &to : nullptr; }
  // Keeps a lookup's result; 0 (the name did not resolve) keeps the old one,
  // so a name server that fails for a while costs nothing.
  void set_address(in_addr_t addr);

  // Tags this listener's lookups, so an answer for one removed meanwhile is
  // recognised; unique for the life of the process.
  const unsigned serial;

  // Refusals (ICMP port or host unreachable) that keep coming for kDeadMs mean
  // the client is gone; kAliveMs of datagrams sent without one mean the client
  // is there after all, and the count starts again.
  static const long long kDeadMs = 60 * 1000;
  static const long long kAliveMs = 10 * 1000;
  // Counts a refusal at now (ms); true when the listener is to be removed.
  bool refused(long long now);

  // Counts of the relay path: integers only.
  void count_relayed(unsigned bytes, long long now) {
    ++relayed;
    relayed_bytes += bytes;
    if (sent_unrefused < 0)
      sent_unrefused = now;
  }
  // A failed send also brings its next lookup forward, to a second after the last.
  void count_send_failure() {
    ++send_failures;
    if (next_lookup > looked_up + 1000)
      next_lookup = looked_up + 1000;
  }
  unsigned long relayed = 0, relayed_bytes = 0, send_failures = 0, refusals = 0;

  // The loop's bookkeeping (monotonic milliseconds).
  long long admitted = 0;
  bool kept = true;  // written to the clients file: all but the command line's
  enum Stage { kNew, kReplaying, kServed };
  Stage stage = kNew;         // kNew until its first lookup has answered
  bool resolving = false;     // a lookup is on its way
  long long looked_up = 0;    // when the last lookup started
  long long next_lookup = 0;  // when its name is looked up again
  Replay replay;              // the cache entries still to send it
  long long replay_due = 0;   // when the next one goes

 private:
  VokListner(const char* name, int port);

  char id[kMaxId + 1];
  int port;
  sockaddr_in to;
  long long refused_since = -1;  // the first refusal of the present run of them
  long long sent_unrefused = -1;  // the first send since the last refusal
};

#endif
