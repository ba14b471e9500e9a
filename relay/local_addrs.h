// local_addrs.h -- this host's IPv4 addresses, kept current by a netlink socket, so that
// telling the relay's own output from another host's costs no system call per datagram.
#ifndef VOK_RELAY_LOCAL_ADDRS_H
#define VOK_RELAY_LOCAL_ADDRS_H

#include <netinet/in.h>

#include <utility>
#include <vector>

class LocalAddrs {
 public:
  // Reads the addresses and starts watching for changes. Without a netlink
  // socket (fd() is -1) every check asks the system instead.
  void open();
  // Readable when the addresses may have changed.
  int fd() const { return fd_; }
  // Drains the change notices and reads the addresses again.
  void refresh();
  // Takes these (address, mask) pairs as this host's, in place of the system's.
  void set(const std::vector<std::pair<in_addr_t, in_addr_t>>& list);
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
  void add(in_addr_t addr, in_addr_t mask, in_addr_t named_broadcast);
  int fd_ = -1;
  bool known_ = false;  // the list is current: it need not ask the system
  int count_ = 0;
  bool overflow_ = false;  // more than kMax: ask the system
  in_addr_t addrs_[kMax];
  in_addr_t masks_[kMax];  // each address's network mask
  int broadcast_count_ = 0;
  in_addr_t broadcasts_[2 * kMax];  // at most two an address
};

#endif
