// cache.h -- priming a new client with the announcements cached on disk.
#ifndef VOK_RELAY_CACHE_H
#define VOK_RELAY_CACHE_H

#include <sys/socket.h>

#include <string>
#include <vector>

#include "common/protocol.h"
#include "sessions.h"

// A replayed datagram: 8 zero bytes, then up to 2040 bytes of the entry's body.
const int kCacheHeader = 8;

// Names of the entries to replay in the open directory dirfd, in byte order:
// hidden names and leftover listings ("tmp.dir...") are passed over.
std::vector<std::string> cache_entry_names(int dirfd);

// Builds the datagram for the entry name of dirfd into out (kDatagramMax
// bytes) and returns its length; -1 when the entry yields none: not a regular
// file (a link is not followed), unreadable, or empty, its first line does not
// begin with "n=", or either of its first two lines is longer than 4 KB.
// The second line, the entry's "k=" line, is dropped whatever it holds: it is
// not checked. The rest is sent as it is, cut to fit.
int cache_datagram(int dirfd, const char* name, char* out);

// A replay in progress: the entries of "$HOME/.vok/cache" still to send, then
// the live sessions the relay remembers, most recently announced first.
class Replay {
 public:
  Replay() = default;
  ~Replay();
  Replay(const Replay&) = delete;
  Replay& operator=(const Replay&) = delete;

  // Lists the cache directory, logging "cannot chdir to PATH" when it cannot
  // be opened, and the sessions live at now (none when sessions is null).
  void start(const Sessions* sessions, long long now);
  // Points msg (one iovec, no address) at the next entry or session that gives
  // a datagram, to be sent at once: the next call, or a session remembered,
  // may change it. False when none is left, and the replay is over.
  bool next(mmsghdr* msg);

 private:
  void finish();

  int dirfd_ = -1;
  std::vector<std::string> names_;
  size_t next_name_ = 0;
  const Sessions* sessions_ = nullptr;
  std::vector<SessionKey> keys_;
  size_t next_key_ = 0;
  char datagram_[kDatagramMax];  // the entry last built
  iovec iov_ = {};
};

#endif
