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

// Sends every entry of "$HOME/.vok/cache" to l through fd, one second apart.
void load_cache(int fd, Listener& l);

#endif
