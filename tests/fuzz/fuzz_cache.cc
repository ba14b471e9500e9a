// fuzz_cache.cc -- reading cache entries: arbitrary contents under arbitrary names.
// The input's first byte is the name's length, the next bytes the name (a '/' or NUL in it
// becomes '_'), the rest the entry's contents. Checked against what any datagram must be,
// not against a second copy of the rule.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "cache.h"

namespace {

void check(bool ok) {
  if (!ok)
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static int dir = -1;
  if (dir < 0) {
    char tmpl[] = "/tmp/vok_fuzz_cache.XXXXXX";
    check(mkdtemp(tmpl) != nullptr && (dir = open(tmpl, O_RDONLY | O_DIRECTORY)) >= 0);
  }
  if (size == 0)
    return 0;
  const size_t name_len = std::min<size_t>(data[0], size - 1);
  std::string name(reinterpret_cast<const char*>(data) + 1, name_len);
  std::replace(name.begin(), name.end(), '/', '_');
  std::replace(name.begin(), name.end(), '\0', '_');
  if (name.empty() || name == "." || name == "..")
    name = "entry" + name;
  const std::string content(reinterpret_cast<const char*>(data) + 1 + name_len,
                            size - 1 - name_len);
  const int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  check(fd >= 0 && write(fd, content.data(), content.size()) ==
                       static_cast<ssize_t>(content.size()));
  close(fd);

  // Listed unless hidden or a leftover listing.
  const bool listed = name[0] != '.' && name.compare(0, 7, "tmp.dir") != 0;
  check(cache_entry_names(dir) == std::vector<std::string>(listed, name));

  // No datagram without an "n=" line; else eight zero bytes and a body that is the file's
  // bytes unchanged, from the start of a line to the end of the file or the 2040th byte.
  char out[kDatagramMax];
  const int n = cache_datagram(dir, name.c_str(), out);
  check((n >= 0) == (content.compare(0, 2, "n=") == 0));
  if (n >= 0) {
    check(n >= kCacheHeader && n <= kDatagramMax &&
          std::all_of(out, out + kCacheHeader, [](char c) { return c == 0; }));
    const std::string body(out + kCacheHeader, static_cast<size_t>(n - kCacheHeader));
    bool found = false;
    for (size_t at = 2; at <= content.size() && !found; ++at)
      found = (at == content.size() || content[at - 1] == '\n') &&
              content.compare(at, body.size(), body) == 0 &&
              (n == kDatagramMax || at + body.size() == content.size());
    check(found);
  }
  unlinkat(dir, name.c_str(), 0);
  return 0;
}
