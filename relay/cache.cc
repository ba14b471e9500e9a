// cache.cc -- priming a new client with the announcements cached on disk.
#include "cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>

#include "shutdown.h"

namespace {

// Reads one whole line of f; true when it begins with prefix.
bool line_starts(FILE* f, const char* prefix) {
  bool match = true;
  size_t i = 0;
  int c;
  while ((c = getc(f)) != EOF && c != '\n') {
    if (prefix[i] != '\0')
      match = match && c == prefix[i++];
  }
  return match && prefix[i] == '\0';
}

bool is_regular(int dirfd, const char* name) {
  struct stat st;
  return fstatat(dirfd, name, &st, 0) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::vector<std::string> cache_entry_names(int dirfd) {
  std::vector<std::string> names;
  // A descriptor of its own, so the caller's keeps its offset and stays open.
  const int fd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) {
    if (fd >= 0)
      close(fd);
    return names;
  }
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.' && strncmp(e->d_name, "tmp.dir", 7) != 0)
      names.emplace_back(e->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

int cache_datagram(int dirfd, const char* name, char* out) {
  // Checked before opening so that a fifo or device is never opened, and
  // again after, on the very file that was opened.
  if (!is_regular(dirfd, name))
    return -1;
  const int fd = openat(dirfd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0)
    return -1;
  struct stat st;
  FILE* f = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fdopen(fd, "rb") : nullptr;
  if (f == nullptr) {
    close(fd);
    return -1;
  }
  int len = -1;
  if (line_starts(f, "n=")) {
    memset(out, 0, kCacheHeader);
    if (!line_starts(f, "k="))
      fputs("no k=\n", stdout);
    len = kCacheHeader +
          static_cast<int>(fread(out + kCacheHeader, 1, kCacheDatagramMax - kCacheHeader, f));
  }
  fclose(f);
  return len;
}

void load_cache(int fd, Listener& l) {
  const char* home = getenv("HOME");
  const std::string path = std::string(home != nullptr ? home : "$HOME") + "/.vok/cache";
  const int dirfd = home != nullptr && path.size() < PATH_MAX
                        ? open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                        : -1;
  if (dirfd < 0) {
    syslog(LOG_DEBUG, "cannot chdir to %s", path.c_str());
    return;
  }
  char datagram[kCacheDatagramMax];
  for (const std::string& name : cache_entry_names(dirfd)) {
    const int len = cache_datagram(dirfd, name.c_str(), datagram);
    if (len < 0)
      continue;
    l.send_msg(fd, datagram, len);
    // The pause is a wait like the loop's, so a signal ends it at once.
    const timespec pause = {1, 0};
    wait_readable(0, nullptr, &pause);
  }
  close(dirfd);
}
