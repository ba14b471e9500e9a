// sessions.h -- the latest announcement of each live SAP session the relay has relayed,
// so that a new client can be sent the sessions at once instead of waiting minutes.
#ifndef VOK_RELAY_SESSIONS_H
#define VOK_RELAY_SESSIONS_H

#include <stdint.h>

#include <vector>

#include "common/protocol.h"

// A session is known by its announcement's originating source and message id hash.
struct SessionKey {
  uint8_t origin[16];  // an IPv4 origin fills the first 4 bytes
  uint16_t hash;
  bool ipv6;
  bool operator==(const SessionKey& o) const;
};

// What a datagram is to the table.
enum class SapKind { kNotSap, kAnnounce, kDelete };

// What data is to the table: kNotSap unless sap_read takes it, and, for an
// announcement, its payload is SDP, typed "application/sdp" or untyped
// (encrypted and compressed payloads cannot be told and count as not SAP).
SapKind sap_key(const char* data, int len, SessionKey* key);

// A fixed table of kMax sessions, allocated once: remembering a datagram
// allocates nothing.
class Sessions {
 public:
  static const int kMax = 256;
  static const long long kForgetMs = 60 * 60 * 1000;  // not announced for an hour

  Sessions();
  ~Sessions();
  Sessions(const Sessions&) = delete;
  Sessions& operator=(const Sessions&) = delete;

  // Takes a relayed datagram at time now (ms): an announcement replaces the
  // one it updates (the least recently announced session makes room when the
  // table is full), a deletion forgets its session, anything else is ignored.
  void remember(const char* data, int len, long long now);
  // The keys of the sessions announced within the last hour, most recently
  // announced first.
  std::vector<SessionKey> live(long long now) const;
  // The latest announcement of key (its length in *len), or null when it is
  // not remembered.
  const char* find(const SessionKey& key, int* len) const;

 private:
  struct Slot;
  Slot* find_slot(const SessionKey& key) const;
  Slot* slots_;
  unsigned long seq_ = 0;
};

#endif
