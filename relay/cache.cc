// cache.cc -- priming a new client with the announcements cached on disk.
#include "cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "log.h"

namespace {

// Longest line of an entry's head: the loop reads no more to find its end.
const int kLineMax = 4096;

// Reads one whole line of f; true when it begins with prefix and ends within kLineMax bytes.
bool line_starts(FILE* f, const char* prefix) {
  bool match = true;
  size_t i = 0;
  int c, n = 0;
  while (++n <= kLineMax && (c = getc(f)) != EOF && c != '\n') {
    if (prefix[i] != '\0')
      match = match && c == prefix[i++];
  }
  return match && prefix[i] == '\0' && n <= kLineMax;
}

// A file of its own: not a link (to a file that may be anyone's), a fifo or a device.
bool is_regular(int dirfd, const char* name) {
  struct stat st;
  return fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
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
  const int fd = openat(dirfd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return -1;
  struct stat st;
  FILE* f = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fdopen(fd, "rb") : nullptr;
  if (f == nullptr) {
    close(fd);
    return -1;
  }
  int len = -1;
  if (line_starts(f, "n=") && line_starts(f, "")) {  // the name line, then the key line
    memset(out, 0, kCacheHeader);
    len = kCacheHeader +
          static_cast<int>(fread(out + kCacheHeader, 1, kDatagramMax - kCacheHeader, f));
  }
  fclose(f);
  return len;
}

Replay::~Replay() { finish(); }

void Replay::finish() {
  if (dirfd_ >= 0)
    close(dirfd_);
  dirfd_ = -1;
  names_.clear();
  next_name_ = 0;
  sessions_ = nullptr;
  keys_.clear();
  next_key_ = 0;
}

void Replay::start(const Sessions* sessions, long long now) {
  finish();
  const char* home = getenv("HOME");
  const std::string path = std::string(home != nullptr ? home : "$HOME") + "/.vok/cache";
  if (home != nullptr && path.size() < PATH_MAX)
    dirfd_ = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirfd_ >= 0)
    names_ = cache_entry_names(dirfd_);
  else
    log_line("cannot chdir to %s", path.c_str());
  sessions_ = sessions;
  if (sessions != nullptr)
    keys_ = sessions->live(now);
}

bool Replay::next(mmsghdr* msg) {
  *msg = {};
  msg->msg_hdr.msg_iov = &iov_;
  msg->msg_hdr.msg_iovlen = 1;
  while (dirfd_ >= 0 && next_name_ < names_.size()) {
    const int len = cache_datagram(dirfd_, names_[next_name_++].c_str(), datagram_);
    if (len >= 0) {
      iov_ = {datagram_, static_cast<size_t>(len)};
      return true;
    }
  }
  // A session forgotten since the replay began is passed over.
  while (sessions_ != nullptr && next_key_ < keys_.size()) {
    int len;
    if (const char* data = sessions_->find(keys_[next_key_++], &len)) {
      iov_ = {const_cast<char*>(data), static_cast<size_t>(len)};
      return true;
    }
  }
  finish();
  return false;
}
