// sessions.cc -- the latest announcement of each live SAP session the relay has relayed.
#include "sessions.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

struct Sessions::Slot {
  bool used;
  SessionKey key;
  long long announced;  // ms
  unsigned long seq;    // order of announcement: ms are too coarse to tell
  int len;
  char data[kDatagramMax];
};

bool SessionKey::operator==(const SessionKey& o) const {
  return hash == o.hash && ipv6 == o.ipv6 && memcmp(origin, o.origin, sizeof origin) == 0;
}

SapKind sap_key(const char* data, int len, SessionKey* key) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(data);
  if (len < 4 || (p[0] >> 5) != 1 || (p[0] & 0x03) != 0)  // version 1, not encrypted/compressed
    return SapKind::kNotSap;
  const bool ipv6 = (p[0] & 0x10) != 0;
  const int origin_len = ipv6 ? 16 : 4;
  const int payload = 4 + origin_len + 4 * p[1];  // the authentication data is p[1] words
  if (len < payload)
    return SapKind::kNotSap;
  // An optional payload type, ended by a NUL, comes before the SDP. What a
  // deletion carries does not matter.
  const bool deletion = (p[0] & 0x04) != 0;
  const char* rest = data + payload;
  const int rest_len = len - payload;
  if (!deletion && !(rest_len >= 2 && rest[0] == 'v' && rest[1] == '=')) {
    static const char kSdp[] = "application/sdp";  // with its NUL
    if (rest_len < static_cast<int>(sizeof kSdp) || memcmp(rest, kSdp, sizeof kSdp) != 0)
      return SapKind::kNotSap;
  }
  memset(key, 0, sizeof *key);
  memcpy(key->origin, p + 4, static_cast<size_t>(origin_len));
  key->hash = static_cast<uint16_t>((p[2] << 8) | p[3]);
  key->ipv6 = ipv6;
  return deletion ? SapKind::kDelete : SapKind::kAnnounce;
}

// Zeroed pages that nothing touches until a session is remembered: a relay
// without -loadcache never makes the table resident.
Sessions::Sessions() : slots_(static_cast<Slot*>(calloc(kMax, sizeof(Slot)))) {
  if (slots_ == nullptr)
    abort();
}

Sessions::~Sessions() { free(slots_); }

Sessions::Slot* Sessions::find_slot(const SessionKey& key) const {
  for (int i = 0; i < kMax; ++i) {
    if (slots_[i].used && slots_[i].key == key)
      return &slots_[i];
  }
  return nullptr;
}

void Sessions::remember(const char* data, int len, long long now) {
  SessionKey key;
  const SapKind kind = sap_key(data, len, &key);
  if (kind == SapKind::kNotSap)
    return;
  Slot* slot = find_slot(key);
  if (kind == SapKind::kDelete) {
    if (slot != nullptr)
      slot->used = false;
    return;
  }
  if (slot == nullptr) {
    // A free slot, else the least recently announced (an expired one first,
    // since it is also the oldest).
    slot = &slots_[0];
    for (int i = 0; i < kMax && slot->used; ++i) {
      if (!slots_[i].used || slots_[i].seq < slot->seq)
        slot = &slots_[i];
    }
  }
  slot->used = true;
  slot->key = key;
  slot->announced = now;
  slot->seq = ++seq_;
  slot->len = std::min(len, static_cast<int>(kDatagramMax));
  memcpy(slot->data, data, static_cast<size_t>(slot->len));
}

std::vector<SessionKey> Sessions::live(long long now) const {
  std::vector<const Slot*> recent;
  for (int i = 0; i < kMax; ++i) {
    if (slots_[i].used && now - slots_[i].announced < kForgetMs)
      recent.push_back(&slots_[i]);
  }
  std::sort(recent.begin(), recent.end(),
                   [](const Slot* a, const Slot* b) { return a->seq > b->seq; });
  std::vector<SessionKey> keys;
  for (const Slot* s : recent)
    keys.push_back(s->key);
  return keys;
}

const char* Sessions::find(const SessionKey& key, int* len) const {
  const Slot* slot = find_slot(key);
  if (slot == nullptr)
    return nullptr;
  *len = slot->len;
  return slot->data;
}
