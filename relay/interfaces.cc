// interfaces.cc -- this host's interfaces and their IPv4 addresses, read in one walk.
#include "interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <string.h>

#include <algorithm>

bool read_interfaces(std::vector<Interface>* list) {
  list->clear();
  ifaddrs* all;
  if (getifaddrs(&all) < 0)
    return false;
  // One AF_PACKET entry per interface, with or without addresses, comes before its
  // addresses' entries.
  for (const ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_PACKET)
      continue;
    const unsigned want = IFF_UP | IFF_MULTICAST;
    if (const unsigned index = if_nametoindex(i->ifa_name))
      list->push_back({index,
                       i->ifa_name,
                       (i->ifa_flags & want) == want,
                       (i->ifa_flags & IFF_LOOPBACK) != 0,
                       {}});
  }
  for (const ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET)
      continue;
    auto owner = std::find_if(list->begin(), list->end(),
                              [i](const Interface& f) { return f.name == i->ifa_name; });
    if (owner == list->end())
      continue;
    const auto* addr = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
    const auto* mask = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask);
    const auto* named = reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr);
    owner->addrs.push_back(
        {addr->sin_addr.s_addr, mask != nullptr ? mask->sin_addr.s_addr : INADDR_NONE,
         (i->ifa_flags & IFF_BROADCAST) != 0 && named != nullptr ? named->sin_addr.s_addr : 0});
  }
  freeifaddrs(all);
  return true;
}

bool takes(const std::vector<std::string>& names, const Interface& i) {
  const bool all = std::find(names.begin(), names.end(), "all") != names.end();
  return i.up &&
         ((all && !i.loopback) || std::find(names.begin(), names.end(), i.name) != names.end());
}
