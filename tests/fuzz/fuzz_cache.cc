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

  // A datagram when the first line begins with "n=" and neither of the first two lines is
  // longer than 4095 bytes: eight zero bytes, then what follows the second line, unchanged,
  // up to 2040 bytes.
  const size_t end1 = std::min(content.find('\n'), content.size());
  const size_t start2 = std::min(end1 + 1, content.size());
  const size_t end2 = std::min(content.find('\n', start2), content.size());
  const bool valid = content.compare(0, 2, "n=") == 0 && end1 < 4096 && end2 - start2 < 4096;
  const std::string want = std::string(kCacheHeader, '\0') +
                           content.substr(std::min(end2 + 1, content.size()),
                                          kDatagramMax - kCacheHeader);
  char out[kDatagramMax];
  const int n = cache_datagram(dir, name.c_str(), out);
  check(valid ? std::string(out, static_cast<size_t>(std::max(n, 0))) == want : n == -1);
  unlinkat(dir, name.c_str(), 0);
  return 0;
}
