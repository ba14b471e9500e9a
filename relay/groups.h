// groups.h -- the SAP groups the relay takes, one socket each, joined on the interfaces it is
// told to listen on and kept joined as interfaces come, go and come back.
#ifndef VOK_RELAY_GROUPS_H
#define VOK_RELAY_GROUPS_H

#include <net/if.h>
#include <netinet/in.h>

#include <string>
#include <vector>

#include "interfaces.h"

class Groups {
 public:
  static const int kMax = 8;  // groups at most, the SAP group included

  // Adds group (network byte order) once; false when it is not a multicast
  // address or there is no room.
  bool add(in_addr_t group);
  // Listen on the interfaces these names take; with none, on the one the kernel's route for
  // each group picks.
  void listen_on(const std::vector<std::string>& names) { names_ = names; }

  // One socket per group, bound to its address and port, which this host's SAP browsers
  // may share (each gets every datagram); rcvbuf asked for each. False when a socket
  // cannot be bound. Nothing is joined yet.
  bool open(int port, int rcvbuf);
  // Takes unicast to the port on each IPv4 address of now, a socket each that shares it with
  // no one, so that no other program can take what is sent there; closes those of addresses
  // gone. False when another program holds the port on one of them (logged).
  bool take_unicast(const std::vector<Interface>& now);
  // Joins what is missing on the interfaces there are now and leaves what has gone, logging
  // each; at start and whenever the interfaces may have changed.
  void refresh(const std::vector<Interface>& now);

  int count() const { return static_cast<int>(groups_.size()); }
  // The sockets to read: one per group, then one per address; what socket i takes counts
  // as sent to group_of(i) (unicast: the SAP group's).
  int sockets() const { return count() + static_cast<int>(unicast_.size()); }
  int fd(int i) const { return i < count() ? groups_[i].fd : unicast_[i - count()].fd; }
  int group_of(int i) const { return i < count() ? i : 0; }
  in_addr_t group(int i) const { return groups_[i].addr; }

 private:
  struct Group {
    in_addr_t addr;
    int fd;
  };
  struct Joined {
    int group;
    unsigned ifindex;  // 0: the kernel's choice
    char name[IF_NAMESIZE];
  };
  bool join(int group, unsigned ifindex, const char* name);
  // The membership of group on the interface with ifindex (0: the kernel's choice).
  ip_mreqn membership(int group, unsigned ifindex) const;

  std::vector<Group> groups_;
  std::vector<std::string> names_;
  std::vector<Joined> joined_;
  struct Unicast {
    in_addr_t addr;
    int fd;
  };
  std::vector<Unicast> unicast_;
  int port_ = 0, rcvbuf_ = 0;
};

#endif
