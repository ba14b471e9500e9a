// upstreams.cc -- the relays this one registers with, and what they may send it.
#include "upstreams.h"

#include <arpa/inet.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "common/protocol.h"
#include "network/net.h"

bool Upstreams::add(const char* text) {
  Upstream u;
  const char* at = strchr(text, '@');
  char self[256] = {};
  if (at != nullptr) {
    u.name.assign(text, at);
    u.host = at + 1;
  } else {
    u.name = gethostname(self, sizeof self - 1) == 0 ? self : "";
    u.host = text;
  }
  if (!printable_word(u.name.data(), u.name.size()) || u.host.empty())
    return false;
  list_.push_back(u);
  return true;
}

bool Upstreams::resolve(std::string* bad) {
  for (Upstream& u : list_) {
    if (net_find_addr(u.host.c_str(), &u.addr) < 0 || u.addr == 0) {
      *bad = u.host;
      return false;
    }
  }
  return true;
}

void Upstreams::send(int fd, const Upstream& u, const char* keyword) const {
  const std::string text = std::string(keyword) + " " + u.name;
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(kRequestPort);
  to.sin_addr.s_addr = u.addr;
  sendto(fd, text.data(), text.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

long long Upstreams::invite(int fd, long long now) {
  long long next = now + kKeepMs;
  for (Upstream& u : list_) {
    if (u.due <= now) {
      send(fd, u, kInvite);
      u.due = now + (u.registered ? kKeepMs : kRetryMs);
    }
    next = std::min(next, u.due);
  }
  return next;
}

bool Upstreams::answered(const char* text, size_t len, const sockaddr_in& from, long long now,
                         std::string* said) {
  if (from.sin_port != htons(kRequestPort))
    return false;
  const in_addr_t addr = from.sin_addr.s_addr;
  for (Upstream& u : list_) {
    if (!is_reply(text, len, u.name.c_str()) || (addr != u.addr && u.answered_from == u.addr))
      continue;
    // Another address is taken only when it answers again, a while after its first answer,
    // and RELAY's own has not answered meanwhile: a stranger's one forged answer never wins.
    if (addr != u.addr && (addr != u.other_from || now - u.other_at < kOtherGraceMs)) {
      if (u.other_from == 0) {
        u.other_from = addr;
        u.other_at = now;
      }
      return true;
    }
    u.answered_from = addr;
    u.other_from = 0;
    *said = "registered " + std::string(u.registered ? "again " : "") + "with " + u.host +
            " as " + u.name;
    u.registered = true;  // invited a minute apart from the next on
    return true;
  }
  return false;
}

bool Upstreams::feeds(const sockaddr_in& from) const {
  return from.sin_port == htons(kRequestPort) &&
         std::any_of(list_.begin(), list_.end(), [&from](const Upstream& u) {
           return from.sin_addr.s_addr == u.addr || from.sin_addr.s_addr == u.answered_from;
         });
}

void Upstreams::stop(int fd) const {
  for (const Upstream& u : list_)  // an answer lost still left it registered there
    send(fd, u, kStop);
}
