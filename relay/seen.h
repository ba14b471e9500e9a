// seen.h -- a short memory of the datagrams relayed, so that one that comes back by another
// way (a second relay on the same links, a client's copy, a chain) is not relayed again.
#ifndef VOK_RELAY_SEEN_H
#define VOK_RELAY_SEEN_H

#include <netinet/in.h>
#include <stdint.h>

class Seen {
 public:
  static const long long kMemoryMs = 2000;  // how long a datagram is remembered
  static const int kRing = 1024;            // datagrams remembered at most

  // True when the same bytes came within kMemoryMs from another sender
  // (address and port) than from: a copy come back, not to be relayed. Else
  // remembers them as from's, at now (ms). No allocation, a fixed cost.
  bool again(const char* data, int len, const sockaddr_in& from, long long now);

 private:
  struct Entry {
    uint64_t hash;
    int len;
    in_addr_t addr;
    in_port_t port;
    long long at;
  };
  static const int kIndex = 4 * kRing;  // hash slots: a collision only forgets a datagram
  Entry ring_[kRing] = {};
  int next_ = 0;  // the ring's oldest entry, reused next
  uint16_t index_[kIndex] = {};  // ring position + 1 by hash, 0: none
};

#endif
