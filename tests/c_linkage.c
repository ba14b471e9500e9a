/* c_linkage.c -- the network module from plain C: every function, through its headers. */
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include "network/memory.h"
#include "network/net.h"

static int check(int ok, const char* what) {
  if (!ok)
    fprintf(stderr, "c_linkage: %s failed\n", what);
  return ok;
}

static int arrives(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 1000) == 1;
}

int main(void) {
  const char group[] = "224.9.9.9";
  struct sockaddr_in from;
  char buf[64];
  char* got;
  int len, rsock, ssock, ok = 1;
  const int fd = net_open(NULL, 7030, 0);
  const int member = net_open_noloopback(group, 7031, 1);
  const struct in_addr a = host2ip("127.0.0.1");

  ok &= check(fd >= 0 && member >= 0, "net_open");
  ok &= check(net_get_addr("127.0.0.1") == (int)a.s_addr, "host2ip");
  ok &= check(net_is_local_addr(a.s_addr), "net_is_local_addr");
  nonblock(fd);
  ok &= check(net_write(fd, "127.0.0.1", 7030, "c", 1) == 0 && arrives(fd), "net_write");
  got = net_read(fd, &len, sizeof buf);
  ok &= check(got != NULL && len == 1 && got[0] == 'c', "net_read");
  xfree(got);
  net_write(fd, "127.0.0.1", 7030, "cd", 2);
  ok &= check(arrives(fd) && net_read_buf(fd, buf, sizeof buf) == 2, "net_read_buf");
  net_write(fd, "127.0.0.1", 7030, "e", 1);
  ok &= check(arrives(fd) && net_read_buf_from(fd, buf, sizeof buf, &from) == 1,
              "net_read_buf_from");
  mcast_net_open(group, 7032, 1, &rsock, &ssock);
  ok &= check(rsock >= 0 && send(ssock, "m", 1, 0) == 1 && arrives(rsock), "mcast_net_open");
  got = xmalloc(8);
  xmemchk();
  xfree(got);
  net_close(fd);
  net_close(member);
  net_close(rsock);
  net_close(ssock);
  if (ok)
    puts("c_linkage: every function called from C");
  return ok ? 0 : 1;
}
