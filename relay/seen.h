// seen.h -- a short memory of the datagrams relayed, so that one that comes back by another
// way (a second relay on the same links, a client's copy, a chain, a circle) is not relayed
// again.
#ifndef VOK_RELAY_SEEN_H
#define VOK_RELAY_SEEN_H

#include <netinet/in.h>
#include <stdint.h>

class Seen {
 public:
  static const long long kMemoryMs = 2000;  // how long a datagram is remembered
  // Datagrams remembered at most: more than 4,000 a second for the whole window. Only a
  // burst larger than that makes the oldest go early.
  static const int kRing = 8192;

  // A memory keyed with a secret of its own, from the system's random source (or key, for a
  // test), so that no stranger can make two datagrams look alike.
  Seen();
  explicit Seen(const uint64_t key[2]);

  // True when the same bytes came within kMemoryMs and are back: from another sender
  // (address and port) than the first, or from port 6012, where relays and clients send
  // their copies from, whoever sent them first. A sender repeating itself from any other
  // port is relayed again. Else remembers them as from's, at now (ms). Every datagram of
  // the window is remembered until the window ends, however many others arrive, unless
  // more than kRing do. No allocation; a fixed cost.
  bool again(const char* data, int len, const sockaddr_in& from, long long now);

 private:
  struct Entry {
    uint64_t hash;
    long long at;
    uint64_t older;  // the next older entry of the same bucket (its number + 1), or 0
    in_addr_t addr;
    int len;
    in_port_t port;
  };
  static const int kBuckets = 2 * kRing;
  uint64_t key_[2];
  Entry ring_[kRing] = {};
  uint64_t heads_[kBuckets] = {};  // the newest entry of each bucket (its number + 1), or 0
  uint64_t next_ = 0;              // the number of the next entry; entry n is ring_[n % kRing]
};

#endif
