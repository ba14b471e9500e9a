// interfaces.h -- this host's interfaces and their IPv4 addresses, read in one walk that the
// groups, the outputs and the local addresses all take, and the one rule for which of them a
// list of names (-i, -o) takes.
#ifndef VOK_RELAY_INTERFACES_H
#define VOK_RELAY_INTERFACES_H

#include <netinet/in.h>

#include <string>
#include <vector>

struct Interface {
  unsigned index;
  std::string name;
  bool up;  // up and able to take multicast
  bool loopback;
  struct Addr {
    in_addr_t addr, mask;  // network byte order
    in_addr_t broadcast;   // the one it names, or 0
  };
  std::vector<Addr> addrs;
};

// The interfaces there are now; false when they cannot be read.
bool read_interfaces(std::vector<Interface>* list);

// True when names take i: it is up and takes multicast, and it is named, or "all" is and it is
// not loopback. A link that goes down is let go until it is up again.
bool takes(const std::vector<std::string>& names, const Interface& i);

#endif
