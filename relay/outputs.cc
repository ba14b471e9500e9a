// outputs.cc -- the links the relay announces on again, one connected socket per group each.
#include "outputs.h"

#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "common/protocol.h"
#include "fanout.h"
#include "log.h"

namespace {

// A socket that multicasts to group:kAnnouncePort out of the interface with
// index, from port kRequestPort (beside the request socket: being connected,
// it takes no request), ttl hops, not looped back to this host; -1 when it
// cannot be had.
int output_socket(unsigned index, in_addr_t group, int ttl) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  const int on = 1;
  const unsigned char hops = static_cast<unsigned char>(ttl), loop = 0;
  ip_mreqn out = {};
  out.imr_ifindex = static_cast<int>(index);
  sockaddr_in here = {}, to = {};
  here.sin_family = to.sin_family = AF_INET;
  here.sin_port = htons(kRequestPort);
  to.sin_port = htons(kAnnouncePort);
  to.sin_addr.s_addr = group;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) < 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out) < 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops) < 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&here), sizeof here) < 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

void Outputs::refresh(const std::vector<Interface>& now, const Groups& groups) {
  auto wanted = [this](const Interface& i) { return takes(names_, i); };
  for (auto l = links_.begin(); l != links_.end();) {
    const bool kept = std::any_of(now.begin(), now.end(), [&](const Interface& i) {
      return i.index == l->index && i.name == l->name && wanted(i);
    });
    if (kept) {
      ++l;
      continue;
    }
    for (int g = 0; g < groups.count(); ++g)
      close(l->fd[g]);
    log_line("stopped announcing on %s", l->name.c_str());
    l = links_.erase(l);
  }
  for (const Interface& i : now) {
    const bool there = std::any_of(links_.begin(), links_.end(),
                                   [&](const Link& l) { return l.index == i.index; });
    if (there || !wanted(i))
      continue;
    Link l = {i.index, i.name, {}, 0};
    bool ok = true;
    for (int g = 0; g < groups.count(); ++g)
      ok = (l.fd[g] = output_socket(i.index, groups.group(g), ttl_)) >= 0 && ok;
    if (ok) {
      log_line("announcing on %s", i.name.c_str());
      links_.push_back(l);
      continue;
    }
    log_line("cannot announce on %s", i.name.c_str());
    for (int g = 0; g < groups.count(); ++g)
      close(l.fd[g]);
  }
}

void Outputs::send(int g, Fanout& f) {
  if (links_.empty())
    return;
  // Read from each datagram's control data only here: without -o nothing asks.
  unsigned arrival[Fanout::kBatch];
  for (int k = 0; k < f.kept(); ++k)
    arrival[k] = f.kept_arrival(k);
  mmsghdr batch[Fanout::kBatch];
  for (Link& l : links_) {
    int n = 0;
    for (int k = 0; k < f.kept(); ++k) {
      if (arrival[k] != l.index)
        batch[n++] = f.kept_msgs()[k];
    }
    for (int at = 0; at < n;) {
      const int sent = sendmmsg(l.fd[g], batch + at, static_cast<unsigned>(n - at), MSG_DONTWAIT);
      if (sent <= 0)
        break;  // a full queue: what did not fit is not counted
      at += sent;
      l.copies += static_cast<unsigned>(sent);
    }
  }
}

std::string Outputs::counts() const {
  std::string text;
  for (const Link& l : links_)
    text += (text.empty() ? "" : ", ") + l.name + " " + std::to_string(l.copies);
  return text;
}
