/* c_linkage.c -- the network module from plain C: it links, and one call per header works. */
#include "network/memory.h"
#include "network/net.h"

int main(void) {
  char* p = xmalloc(8);
  const int ok = p != 0 && net_get_addr("127.0.0.1") == (int)host2ip("127.0.0.1").s_addr;
  xfree(p);
  return ok ? 0 : 1;
}
