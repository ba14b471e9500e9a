// fuzz_cache.cc -- reading cache entries: arbitrary contents under arbitrary names.
// The input's first byte is the name's length, the next bytes the name (a '/'
// or NUL in it becomes '_'), the rest the entry's contents.
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "cache.h"

namespace {

int cache_dir() {
  static int fd = -1;
  if (fd < 0) {
    char tmpl[] = "/tmp/vok_fuzz_cache.XXXXXX";
    if (mkdtemp(tmpl) == nullptr || (fd = open(tmpl, O_RDONLY | O_DIRECTORY)) < 0)
      abort();
    // The "no k=" trace line is of no interest here.
    if (freopen("/dev/null", "w", stdout) == nullptr)
      abort();
  }
  return fd;
}

// The datagram an entry must give, worked out directly from its bytes.
bool expected(const std::string& content, std::string* datagram) {
  if (content.compare(0, 2, "n=") != 0)
    return false;
  size_t body = content.find('\n');
  body = body == std::string::npos ? content.size() : body + 1;
  const size_t second = content.find('\n', body);
  body = second == std::string::npos ? content.size() : second + 1;
  *datagram = std::string(kCacheHeader, '\0') +
              content.substr(body, kCacheDatagramMax - kCacheHeader);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  const int dir = cache_dir();
  const size_t name_len = std::min<size_t>(data[0], size - 1);
  std::string name(reinterpret_cast<const char*>(data) + 1, name_len);
  std::replace(name.begin(), name.end(), '/', '_');
  std::replace(name.begin(), name.end(), '\0', '_');
  if (name.empty() || name == "." || name == "..")
    name = "entry" + name;
  const std::string content(reinterpret_cast<const char*>(data) + 1 + name_len,
                            size - 1 - name_len);

  const int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
    abort();
  close(fd);

  const std::vector<std::string> names = cache_entry_names(dir);
  const bool listed = name[0] != '.' && name.compare(0, 7, "tmp.dir") != 0;
  if (names.size() != (listed ? 1u : 0u) || (listed && names[0] != name))
    abort();
  char out[kCacheDatagramMax];
  const int n = cache_datagram(dir, name.c_str(), out);
  std::string want;
  if (expected(content, &want) ? std::string(out, n > 0 ? n : 0) != want || n < 0 : n != -1)
    abort();
  unlinkat(dir, name.c_str(), 0);
  return 0;
}
