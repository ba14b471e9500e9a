// groups.cc -- the SAP groups the relay takes, joined on the interfaces it is told to listen on.
#include "groups.h"

#include <arpa/inet.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "log.h"
#include "network/net.h"

namespace {

const char* text(in_addr_t addr, char* buf) {
  return inet_ntop(AF_INET, &addr, buf, INET_ADDRSTRLEN);
}

}  // namespace

bool Groups::add(in_addr_t group) {
  if (!IN_MULTICAST(ntohl(group)) || count() == kMax)
    return false;
  for (const Group& g : groups_) {
    if (g.addr == group)
      return true;
  }
  groups_.push_back({group, -1});
  return true;
}

namespace {

// Asks for rcvbuf and for each datagram's arrival (the interface it came in on is never
// announced out of again; the address it was sent to tells unicast).
void take_datagrams(int fd, int rcvbuf) {
  const int on = 1;
  net_rcvbuf(fd, rcvbuf);
  setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
}

// A socket bound to addr:port that shares it with no one, or -1.
int own_socket(in_addr_t addr, int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = addr;
  at.sin_port = htons(static_cast<uint16_t>(port));
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0)
    return fd;
  if (fd >= 0)
    close(fd);
  return -1;
}

}  // namespace

bool Groups::open(int port, int rcvbuf) {
  port_ = port;
  rcvbuf_ = rcvbuf;
  for (Group& g : groups_) {
    char addr[INET_ADDRSTRLEN];
    g.fd = net_bind(text(g.addr, addr), port);
    if (g.fd < 0)
      return false;
    take_datagrams(g.fd, rcvbuf);
    // Its own group only: by default a socket also gets every group that any
    // other program on this host has joined.
    const int off = 0;
    setsockopt(g.fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
  }
  return true;
}

bool Groups::take_unicast(const std::vector<Interface>& now) {
  std::vector<in_addr_t> addrs;
  for (const Interface& i : now) {
    for (const Interface::Addr& a : i.addrs)
      addrs.push_back(a.addr);
  }
  for (auto u = unicast_.begin(); u != unicast_.end();) {
    if (std::find(addrs.begin(), addrs.end(), u->addr) != addrs.end()) {
      ++u;
      continue;
    }
    close(u->fd);
    u = unicast_.erase(u);
  }
  bool all = true;
  for (in_addr_t a : addrs) {
    const bool there = std::any_of(unicast_.begin(), unicast_.end(),
                                   [a](const Unicast& u) { return u.addr == a; });
    const int fd = there ? -1 : own_socket(a, port_);
    if (fd >= 0) {
      take_datagrams(fd, rcvbuf_);
      unicast_.push_back({a, fd});
    } else if (!there) {
      char addr[INET_ADDRSTRLEN];
      log_line("cannot take unicast on %s port %d: another program holds it", text(a, addr),
               port_);
      all = false;
    }
  }
  return all;
}

ip_mreqn Groups::membership(int group, unsigned ifindex) const {
  ip_mreqn m = {};
  m.imr_multiaddr.s_addr = groups_[group].addr;
  m.imr_ifindex = static_cast<int>(ifindex);
  return m;
}

bool Groups::join(int group, unsigned ifindex, const char* name) {
  const ip_mreqn m = membership(group, ifindex);
  char addr[INET_ADDRSTRLEN];
  text(groups_[group].addr, addr);
  if (setsockopt(groups_[group].fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) < 0) {
    log_line("cannot join %s on %s", addr, name);
    return false;
  }
  Joined j = {group, ifindex, {}};
  snprintf(j.name, sizeof j.name, "%s", name);
  joined_.push_back(j);
  log_line("joined %s on %s", addr, name);
  return true;
}

void Groups::refresh(const std::vector<Interface>& now) {
  char addr[INET_ADDRSTRLEN];
  if (names_.empty()) {
    // Where the kernel's route says, once for each group.
    for (int g = 0; g < count(); ++g) {
      const bool done = std::any_of(joined_.begin(), joined_.end(),
                                    [g](const Joined& j) { return j.group == g; });
      const unsigned index = done ? 0 : static_cast<unsigned>(net_route_ifindex(groups_[g].addr));
      char name[IF_NAMESIZE] = "default";
      if (!done && (index == 0 || if_indextoname(index, name) != nullptr))
        join(g, index, name);
    }
    return;
  }
  std::vector<Interface> wanted;
  std::copy_if(now.begin(), now.end(), std::back_inserter(wanted),
               [this](const Interface& i) { return takes(names_, i); });
  // What is no longer taken is left (an interface that went away took its memberships with
  // it, and dropping them fails harmlessly).
  for (auto j = joined_.begin(); j != joined_.end();) {
    const bool kept = std::any_of(wanted.begin(), wanted.end(), [&](const Interface& i) {
      return i.index == j->ifindex && i.name == j->name;
    });
    if (kept) {
      ++j;
      continue;
    }
    const ip_mreqn m = membership(j->group, j->ifindex);
    setsockopt(groups_[j->group].fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &m, sizeof m);
    log_line("left %s on %s", text(groups_[j->group].addr, addr), j->name);
    j = joined_.erase(j);
  }
  for (const Interface& i : wanted) {
    for (int g = 0; g < count(); ++g) {
      const bool done = std::any_of(joined_.begin(), joined_.end(), [&](const Joined& j) {
        return j.group == g && j.ifindex == i.index;
      });
      if (!done)
        join(g, i.index, i.name.c_str());
    }
  }
}
