// outputs.h -- the links the relay announces on again (-o): what it relays is also multicast
// out of each of them, to the group it came to, but never out of the link it came in on.
#ifndef VOK_RELAY_OUTPUTS_H
#define VOK_RELAY_OUTPUTS_H

#include <string>
#include <vector>

#include "groups.h"

class Fanout;

class Outputs {
 public:
  // The interfaces these names take; ttl: the copies' time-to-live.
  void announce_on(const std::vector<std::string>& names, int ttl) {
    names_ = names;
    ttl_ = ttl;
  }
  // Opens what the interfaces there are now need, for each of groups, and closes what is no
  // longer taken, logging each; at start and whenever the interfaces may have changed.
  void refresh(const std::vector<Interface>& now, const Groups& groups);
  // Sends the datagrams f has kept from group g's socket out of every link
  // but the one each came in on; none waits.
  void send(int g, Fanout& f);
  // "IFACE n, ..." copies sent per link, or "".
  std::string counts() const;

 private:
  struct Link {
    unsigned index;
    std::string name;
    int fd[Groups::kMax];  // one per group, connected to it
    unsigned long copies;
  };
  std::vector<std::string> names_;
  int ttl_ = 1;
  std::vector<Link> links_;
};

#endif
