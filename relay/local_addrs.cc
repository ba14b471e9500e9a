// local_addrs.cc -- this host's IPv4 addresses, kept current by a netlink socket.
#include "local_addrs.h"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <linux/rtnetlink.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "network/net.h"

void LocalAddrs::open() {
  fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  sockaddr_nl sa = {};
  sa.nl_family = AF_NETLINK;
  sa.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_LINK;  // addresses, and interfaces for the groups
  if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
    close(fd_);
    fd_ = -1;
  }
  refresh();
}

void LocalAddrs::refresh() {
  char notice[8192];
  while (fd_ >= 0 && recv(fd_, notice, sizeof notice, MSG_DONTWAIT) > 0) {
  }
  count_ = 0;
  broadcast_count_ = 0;
  overflow_ = false;
  ifaddrs* list;
  if (getifaddrs(&list) < 0) {
    overflow_ = true;
    return;
  }
  for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET)
      continue;
    if (count_ == kMax) {
      overflow_ = true;
      break;
    }
    const sockaddr_in* mask = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask);
    const sockaddr_in* named = reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr);
    add(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr,
        mask != nullptr ? mask->sin_addr.s_addr : INADDR_NONE,
        (i->ifa_flags & IFF_BROADCAST) != 0 && named != nullptr ? named->sin_addr.s_addr : 0);
  }
  freeifaddrs(list);
  known_ = fd_ >= 0;  // without change notices the list may go stale: ask each time
}

void LocalAddrs::set(const std::vector<std::pair<in_addr_t, in_addr_t>>& list) {
  count_ = broadcast_count_ = 0;
  overflow_ = list.size() > kMax;
  for (size_t i = 0; i < list.size() && !overflow_; ++i)
    add(list[i].first, list[i].second, 0);
  known_ = true;
}

void LocalAddrs::add(in_addr_t addr, in_addr_t mask, in_addr_t named_broadcast) {
  // The subnet's top address is its broadcast, whatever the interface names
  // as such (getifaddrs gives an interface without one its own address).
  const in_addr_t host_bits = ~mask;
  masks_[count_] = mask;
  addrs_[count_++] = addr;
  if (ntohl(host_bits) > 1 && ntohl(host_bits) != 0xffffffffu)
    broadcasts_[broadcast_count_++] = addr | host_bits;
  if (named_broadcast != 0 && named_broadcast != addr)
    broadcasts_[broadcast_count_++] = named_broadcast;
}

bool LocalAddrs::has(in_addr_t addr) const {
  if ((ntohl(addr) >> 24) == 127)
    return true;
  if (!known_ || overflow_)
    return net_is_local_addr(addr) != 0;
  for (int i = 0; i < count_; ++i) {
    if (addrs_[i] == addr)
      return true;
  }
  return false;
}

bool LocalAddrs::unicast(in_addr_t addr) const {
  const uint32_t host = ntohl(addr);
  if (host == 0 || host == INADDR_BROADCAST || IN_MULTICAST(host))
    return false;
  for (int i = 0; i < broadcast_count_; ++i) {
    if (broadcasts_[i] == addr)
      return false;
  }
  return true;
}

bool LocalAddrs::on_link(in_addr_t addr) const {
  for (int i = 0; i < count_; ++i) {
    if (((addr ^ addrs_[i]) & masks_[i]) == 0)
      return true;
  }
  return false;
}
