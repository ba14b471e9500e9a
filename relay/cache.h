// cache.h -- priming a new client with the announcements cached on disk.
#ifndef VOK_RELAY_CACHE_H
#define VOK_RELAY_CACHE_H

#include <string>
#include <vector>

#include "EventsDismisser.h"

// A replayed datagram: 8 zero bytes, then up to 2040 bytes of the entry's body.
const int kCacheHeader = 8;
const int kCacheDatagramMax = 2048;

// Names of the entries to replay in the open directory dirfd, in byte order:
// hidden names and leftover listings ("tmp.dir...") are passed over.
std::vector<std::string> cache_entry_names(int dirfd);

// Builds the datagram for the entry name of dirfd into out (kCacheDatagramMax
// bytes) and returns its length; -1 when the entry yields none: not a regular
// file, unreadable, or its first line does not begin with "n=".
int cache_datagram(int dirfd, const char* name, char* out);

// A cache replay in progress: the entries of "$HOME/.vok/cache" still to send.
class Replay {
 public:
  Replay() = default;
  ~Replay();
  Replay(const Replay&) = delete;
  Replay& operator=(const Replay&) = delete;

  // Lists the cache directory; false, with "cannot chdir to PATH" logged,
  // when it cannot be opened.
  bool start();
  // Sends the next entry that gives a datagram to l through fd; false when
  // none is left, and the replay is over.
  bool step(int fd, Listener& l);
  bool running() const { return dirfd_ >= 0; }

 private:
  void finish();

  int dirfd_ = -1;
  std::vector<std::string> names_;
  size_t next_ = 0;
};

#endif
