// resolver.h -- host-name lookups on helper threads, handed back to the loop through a descriptor.
#ifndef VOK_RELAY_RESOLVER_H
#define VOK_RELAY_RESOLVER_H

#include "common/address.h"

// Lookups run on helper threads, so that a name server that hangs holds up
// only the lookups it is asked for. Every queue is bounded: a listener has at
// most one lookup pending, and cancel() drops it. Only the loop's thread calls
// these.
class Resolver {
 public:
  // Threads for lookups of names not yet answered, and threads kept for
  // registered clients beside them: however many lookups for clients that
  // have gone still hang, a registered client's is never queued behind them.
  static const int kWorkers = 8;
  static const int kReserved = 8;

  // The loop's and the workers' common state.
  struct Shared;

  Resolver() = default;
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // False when the wake-up descriptor cannot be made.
  bool open();
  // Readable while finished lookups wait to be taken.
  int fd() const;
  // A finished lookup: its tag, and the address (none when the name did not resolve).
  struct Answer {
    unsigned tag;
    Address addr;
  };

  // Asks for name's address; the answer comes back with tag, which the caller
  // never uses twice. A dotted quad, or a name the hosts file gives (letter
  // case aside), is answered at once; any other name as net_find_addr finds it,
  // on a helper thread. registered: the name belongs to a client already
  // served. Names longer than 255 characters are never answered.
  void lookup(unsigned tag, const char* name, bool registered);
  // Forgets the lookup with tag: dropped when still queued, its answer
  // discarded when under way.
  void cancel(unsigned tag);
  // One finished lookup; false when none is left.
  bool take(Answer* answer);

 private:
  Shared* shared_ = nullptr;  // never freed: a worker may outlive the loop
};

#endif
