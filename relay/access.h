// access.h -- who may ask the relay for anything: the networks allowed to (-a), and each
// source's budget of requests, so that no stranger can fill the registry or the loop.
#ifndef VOK_RELAY_ACCESS_H
#define VOK_RELAY_ACCESS_H

#include <netinet/in.h>

#include <vector>

class LocalAddrs;

// The networks whose hosts may ask and be served. Empty: every host may.
class Networks {
 public:
  // Adds "NETWORK[/LEN]" (a bare address is that one host) or "local", the
  // networks of this host's interfaces as they are at each check. False when
  // text is none of those.
  bool add(const char* text);
  bool empty() const { return nets_.empty() && !local_; }
  // True when addr (network byte order) lies in one of the networks.
  bool allows(in_addr_t addr, const LocalAddrs& local) const;

 private:
  struct Net {
    in_addr_t addr, mask;
  };
  std::vector<Net> nets_;
  bool local_ = false;
};

// A token bucket per source address, in a table of fixed size: a flood from
// any number of addresses costs the same memory. Sources that share a slot
// share its bucket.
class Budgets {
 public:
  static const int kPerSecond = 10;  // the lasting rate of requests a source may make
  static const int kBurst = 20;      // and how many it may make at once
  static const int kSlotBits = 12;
  static const int kSlots = 1 << kSlotBits;
  // Takes one request from addr's bucket at now (ms); false when it is empty.
  bool take(in_addr_t addr, long long now);

 private:
  static const long long kCostMs = 1000 / kPerSecond;
  struct Slot {
    long long credit_ms;  // time's worth of requests saved up, at most kBurst * kCostMs
    long long at;         // when credit_ms was reckoned; 0: never used
  };
  Slot slots_[kSlots] = {};
};

#endif
