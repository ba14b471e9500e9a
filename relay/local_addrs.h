// local_addrs.h -- this host's IPv4 addresses, kept current by a netlink socket, so that
// telling the relay's own output from another host's costs no system call per datagram.
#ifndef VOK_RELAY_LOCAL_ADDRS_H
#define VOK_RELAY_LOCAL_ADDRS_H

#include <netinet/in.h>

#include <vector>

#include "interfaces.h"

class LocalAddrs {
 public:
  // Starts watching for changes: without a netlink socket (fd() is -1) the addresses taken
  // may go stale.
  void open();
  // Readable when the addresses may have changed.
  int fd() const { return fd_; }
  // Reads the change notices waiting: before the interfaces are read, so that a change made
  // while they are read is told again.
  void drain();
  // Takes list's addresses; current: the list was read and is kept current by the notices,
  // else every check asks the system.
  void take(const std::vector<Interface>& list, bool current);
  // True when addr (network byte order) is one of this host's.
  bool has(in_addr_t addr) const;
  // True when addr may be a listener's: a unicast address, not a group, the
  // limited broadcast, 0 or the broadcast address of a local subnet. Relaying
  // to those would reach every host on a link, relays included: a storm.
  bool unicast(in_addr_t addr) const;
  // True when addr lies in the network of one of this host's addresses.
  bool on_link(in_addr_t addr) const;

 private:
  static const int kMax = 256;
  int fd_ = -1;
  bool current_ = false;  // the addresses are all here, and current
  int count_ = 0;
  in_addr_t addrs_[kMax];
  in_addr_t masks_[kMax];  // each address's network mask
  int broadcast_count_ = 0;
  in_addr_t broadcasts_[2 * kMax];  // at most two an address
};

#endif
