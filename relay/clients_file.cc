// clients_file.cc -- the invited clients kept in "$HOME/.vok/clients".
#include "clients_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/protocol.h"

std::vector<KeptClient> parse_clients(const char* text, size_t len, int max) {
  std::vector<KeptClient> clients;
  const char* end = text + len;
  for (const char* line = text; line < end && static_cast<int>(clients.size()) < max;) {
    const char* nl = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
    if (nl == nullptr)
      break;  // a line cut short is not a name
    const std::string l(line, nl);
    line = nl + 1;
    // A name as a request would have to carry it, then the port.
    char name[Request::kWordMax + 1], port_text[Request::kWordMax + 1];
    if (l.find('\0') != std::string::npos || !two_words(l.c_str(), name, port_text))
      continue;
    char* rest;
    const long port = strtol(port_text, &rest, 10);
    if (*rest == '\0' && port >= 1 && port <= 65535)
      clients.push_back({name, static_cast<int>(port)});
  }
  return clients;
}

std::string clients_path() {
  const char* home = getenv("HOME");
  return home != nullptr ? std::string(home) + "/.vok/clients" : std::string();
}

std::vector<KeptClient> read_clients(const std::string& path, int max) {
  char text[kClientsFileMax];
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  size_t len = 0;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    ssize_t n;
    while (len < sizeof text && (n = read(fd, text + len, sizeof text - len)) > 0)
      len += static_cast<size_t>(n);
  }
  if (fd >= 0)
    close(fd);
  return parse_clients(text, len, max);
}

bool write_clients(const std::string& path, const std::vector<KeptClient>& clients) {
  const std::string dir = path.substr(0, path.rfind('/'));
  mkdir(dir.c_str(), 0700);
  std::string text;
  for (const KeptClient& c : clients)
    text += c.name + " " + std::to_string(c.port) + "\n";
  // Made fresh, so that nothing planted in its place (a link, a file others
  // may read) is written through; synced, so that a crash leaves the old
  // file or the new one, never a part.
  const std::string tmp = path + ".tmp";
  unlink(tmp.c_str());
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0)
    return false;
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                       fsync(fd) == 0;
  if (close(fd) == 0 && written && rename(tmp.c_str(), path.c_str()) == 0) {
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = dfd >= 0 && fsync(dfd) == 0;
    if (dfd >= 0)
      close(dfd);
    return synced;
  }
  unlink(tmp.c_str());
  return false;
}
