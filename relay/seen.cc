// seen.cc -- the datagrams relayed in the last two seconds, by hash, length and sender.
#include "seen.h"

#include <string.h>

namespace {

// A 64-bit hash of data, eight bytes at a step.
uint64_t hash(const char* data, int len) {
  uint64_t h = 0x9e3779b97f4a7c15ull ^ static_cast<uint64_t>(len);
  int at = 0;
  for (; at + 8 <= len; at += 8) {
    uint64_t word;
    memcpy(&word, data + at, sizeof word);
    h = (h ^ word) * 0xff51afd7ed558ccdull;
    h ^= h >> 32;
  }
  uint64_t tail = 0;
  memcpy(&tail, data + at, static_cast<size_t>(len - at));
  h = (h ^ tail) * 0xc4ceb9fe1a85ec53ull;
  return h ^ (h >> 29);
}

}  // namespace

bool Seen::again(const char* data, int len, const sockaddr_in& from, long long now) {
  const uint64_t h = hash(data, len);
  uint16_t& slot = index_[h % kIndex];
  if (slot != 0) {
    Entry& e = ring_[slot - 1];
    if (e.hash == h && e.len == len && now - e.at < kMemoryMs) {
      if (e.addr != from.sin_addr.s_addr || e.port != from.sin_port)
        return true;
      e.at = now;  // its own sender, repeating itself: relayed, and remembered afresh
      return false;
    }
  }
  Entry& e = ring_[next_];
  uint16_t& old = index_[e.hash % kIndex];
  if (old == next_ + 1)
    old = 0;
  e = {h, len, from.sin_addr.s_addr, from.sin_port, now};
  slot = static_cast<uint16_t>(next_ + 1);
  next_ = (next_ + 1) % kRing;
  return false;
}
