// local_addrs.cc -- this host's IPv4 addresses, kept current by a netlink socket.
#include "local_addrs.h"

#include <linux/netlink.h>
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
}

void LocalAddrs::drain() {
  char notice[8192];
  while (fd_ >= 0 && recv(fd_, notice, sizeof notice, MSG_DONTWAIT) > 0) {
  }
}

void LocalAddrs::take(const std::vector<Interface>& list, bool current) {
  count_ = broadcast_count_ = 0;
  current_ = current;
  for (const Interface& i : list) {
    for (const Interface::Addr& a : i.addrs) {
      if (count_ == kMax) {
        current_ = false;
        return;
      }
      // The subnet's top address is its broadcast, whatever the interface names as such
      // (getifaddrs gives an interface without one its own address).
      const in_addr_t host_bits = ~a.mask;
      masks_[count_] = a.mask;
      addrs_[count_++] = a.addr;
      if (ntohl(host_bits) > 1 && ntohl(host_bits) != 0xffffffffu)
        broadcasts_[broadcast_count_++] = a.addr | host_bits;
      if (a.broadcast != 0 && a.broadcast != a.addr)
        broadcasts_[broadcast_count_++] = a.broadcast;
    }
  }
}

bool LocalAddrs::has(in_addr_t addr) const {
  if ((ntohl(addr) >> 24) == 127)
    return true;
  if (!current_)
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
