// seen.cc -- the datagrams relayed in the last two seconds, by keyed hash, length and sender.
#include "seen.h"

#include <string.h>
#include <sys/random.h>
#include <time.h>

#include "common/protocol.h"

namespace {

uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

void sip_round(uint64_t v[4]) {
  v[0] += v[1];
  v[1] = rotl(v[1], 13) ^ v[0];
  v[0] = rotl(v[0], 32);
  v[2] += v[3];
  v[3] = rotl(v[3], 16) ^ v[2];
  v[0] += v[3];
  v[3] = rotl(v[3], 21) ^ v[0];
  v[2] += v[1];
  v[1] = rotl(v[1], 17) ^ v[2];
  v[2] = rotl(v[2], 32);
}

// SipHash-1-3 of data under key: a keyed hash whose collisions cannot be found without the key.
uint64_t keyed_hash(const uint64_t key[2], const char* data, int len) {
  uint64_t v[4] = {0x736f6d6570736575ull ^ key[0], 0x646f72616e646f6dull ^ key[1],
                   0x6c7967656e657261ull ^ key[0], 0x7465646279746573ull ^ key[1]};
  int at = 0;
  for (uint64_t m; at + 8 <= len; at += 8) {
    memcpy(&m, data + at, sizeof m);
    v[3] ^= m;
    sip_round(v);
    v[0] ^= m;
  }
  uint64_t last = 0;
  memcpy(&last, data + at, static_cast<size_t>(len - at));
  last |= static_cast<uint64_t>(len) << 56;
  v[3] ^= last;
  sip_round(v);
  v[0] ^= last;
  v[2] ^= 0xff;
  for (int i = 0; i < 3; ++i)
    sip_round(v);
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}

}  // namespace

Seen::Seen() {
  if (getrandom(key_, sizeof key_, 0) != static_cast<ssize_t>(sizeof key_)) {
    // No random source yet (very early at boot): the clocks are the best secret left.
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    key_[0] = static_cast<uint64_t>(t.tv_sec) * 1000000007ull ^ static_cast<uint64_t>(t.tv_nsec);
    clock_gettime(CLOCK_MONOTONIC, &t);
    key_[1] = static_cast<uint64_t>(t.tv_nsec) << 20 ^ reinterpret_cast<uintptr_t>(this);
  }
}

Seen::Seen(const uint64_t key[2]) : key_{key[0], key[1]} {}

bool Seen::again(const char* data, int len, const sockaddr_in& from, long long now) {
  const uint64_t h = keyed_hash(key_, data, len);
  uint64_t& head = heads_[h % kBuckets];
  // Newest first: the walk ends at an entry reused since (all older ones are too) or older
  // than the window.
  for (uint64_t link = head; link != 0 && next_ - (link - 1) <= kRing;) {
    const Entry& e = ring_[(link - 1) % kRing];
    if (now - e.at >= kMemoryMs)
      break;
    if (e.hash == h && e.len == len) {
      if (from.sin_port == htons(kRequestPort) || e.addr != from.sin_addr.s_addr ||
          e.port != from.sin_port)
        return true;
      break;  // its own sender, repeating itself: relayed, and remembered afresh
    }
    link = e.older;
  }
  ring_[next_ % kRing] = {h, now, head, from.sin_addr.s_addr, len, from.sin_port};
  head = ++next_;
  return false;
}
