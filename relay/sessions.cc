// sessions.cc -- the latest announcement of each live SAP session the relay has relayed.
#include "sessions.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "common/sap.h"

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
  SapHeader h;
  if (len < 0 || !sap_read(data, static_cast<size_t>(len), &h) || h.encrypted || h.compressed)
    return SapKind::kNotSap;
  // What a deletion carries does not matter; an announcement carries SDP, typed or not.
  static const char kSdp[] = "application/sdp";
  const bool sdp = h.type != nullptr
                       ? h.type_len == sizeof kSdp - 1 && memcmp(h.type, kSdp, h.type_len) == 0
                       : h.body_len >= 2 && h.body[0] == 'v' && h.body[1] == '=';
  if (!h.deletion && !sdp)
    return SapKind::kNotSap;
  memset(key, 0, sizeof *key);
  memcpy(key->origin, h.origin, h.ipv6 ? 16 : 4);
  key->hash = h.hash;
  key->ipv6 = h.ipv6;
  return h.deletion ? SapKind::kDelete : SapKind::kAnnounce;
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
