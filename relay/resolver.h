// resolver.h -- host-name lookups on helper threads, handed back to the loop through a descriptor.
#ifndef VOK_RELAY_RESOLVER_H
#define VOK_RELAY_RESOLVER_H

#include <netinet/in.h>

// Lookups run on up to kWorkers threads, so a lookup that hangs on a name
// server holds up only itself. Only the loop's thread calls these.
class Resolver {
 public:
  static const int kWorkers = 8;

  // False when the wake-up descriptor cannot be made.
  bool open();
  // Readable while finished lookups wait to be taken.
  int fd() const;
  // Asks for name's address (as net_get_addr finds it); the answer comes back
  // with tag. Names longer than 255 characters are never asked for.
  void lookup(unsigned tag, const char* name);
  // One finished lookup: its tag and the address, 0 when the name did not
  // resolve. False when none is left.
  bool take(unsigned* tag, in_addr_t* addr);
};

#endif
