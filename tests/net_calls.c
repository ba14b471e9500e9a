/* net_calls.c -- the network module's interface, every function on a case that can fail, in
 * the C that C++ also takes: c_linkage runs it as a C program, net_test compiles it into C++.
 * Run in the test sandbox: lo only, multicast routed to it, "alpha" at 127.0.0.2. */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "network/memory.h"
#include "network/net.h"

/* Counts a case that does not hold, naming it on standard error. */
#define CHECK(what, holds) (failed += !(holds) && fprintf(stderr, "failed: %s\n", what) > 0)

/* One datagram from a fresh socket to addr:port. */
static void send_one(const char* addr, int port, const char* text) {
  const int fd = net_bind("127.0.0.1", 0);
  net_write(fd, addr, port, text, (int)strlen(text));
  net_close(fd);
}

/* The number of cases that failed. */
int net_calls(void) {
  int failed = 0, r, s, len = -1;
  char buf[16];
  unsigned char ttl = 0;
  socklen_t ttl_len = sizeof ttl;
  struct sockaddr_in from, at;
  in_addr_t found = 1, none = 1;
  CHECK("net_get_addr, net_host_addr, net_find_addr, host2ip",
        net_find_addr("0.0.0.0", &found) == 0 && found == 0 &&
            net_find_addr("nosuchhost", &none) == -1 &&
        net_get_addr("10.1.2.3") == (int)inet_addr("10.1.2.3") &&
            net_host_addr("alpha") == (int)inet_addr("127.0.0.2") &&
            net_get_addr(0) == (int)inet_addr("127.0.1.1") && net_get_addr("nosuchhost") == 0 &&
            host2ip("alpha").s_addr == inet_addr("127.0.0.2") && host2ip(0).s_addr == 0 &&
            host2ip("10.1.2.3").s_addr == inet_addr("10.1.2.3"));

  int fd = net_open("224.2.127.254", 7100, 16);
  send_one("224.2.127.254", 7100, "group");
  CHECK("net_open, net_write, net_read_buf",
        getsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &ttl_len) == 0 && ttl == 16 &&
            net_read_buf(fd, buf, sizeof buf) == 5);
  net_close(fd);

  fd = net_open_noloopback("239.1.2.3", 7101, 0);
  send_one("239.1.2.3", 7101, "lo");
  CHECK("net_open_noloopback, net_read_buf_from",
        net_read_buf_from(fd, buf, sizeof buf, &from) == 2 &&
            from.sin_addr.s_addr == htonl(INADDR_LOOPBACK));
  net_close(fd);

  mcast_net_open("239.1.2.4", 7102, 0, &r, &s);
  char* got = r >= 0 && send(s, "pair", 4, 0) == 4 ? net_read(r, &len, 16) : 0;
  CHECK("mcast_net_open, net_read", got != 0 && len == 4 && memcmp(got, "pair", 4) == 0);
  xfree(got);
  net_close(r);
  net_close(s);

  /* Nothing to a name that does not resolve, nor to address 0, which would reach this host. */
  fd = net_bind("127.0.0.1", 7103);
  nonblock(fd);
  CHECK("net_write unresolved, nonblock",
        net_write(fd, "nosuchhost", 7103, "x", 1) < 0 &&
            net_write(fd, "0.0.0.0", 7103, "x", 1) < 0 && net_read_buf(fd, buf, sizeof buf) < 0 &&
            errno == EAGAIN);
  net_close(fd);
  CHECK("net_close", fcntl(fd, F_GETFD) < 0);

  fd = net_bind(0, 7104);
  send_one("127.0.0.1", 7104, "");
  got = net_read(fd, &len, 16);
  CHECK("net_read empty, net_rcvbuf, net_read_refusal none",
        got == 0 && len == 0 && net_rcvbuf(fd, 1 << 20) >= 1 << 20 && net_read_refusal(fd, 0) < 0);
  net_close(fd);
  /* Room for what is asked, writable to its last byte (the sanitizer build checks the bounds). */
  char* block = xmalloc(4096);
  CHECK("xmalloc, xfree, xmemchk", block != NULL && memset(block, 1, 4096) == block);
  xfree(block);
  xmemchk();

  /* A port held without address reuse: both opens fail, and leave no descriptor behind. */
  memset(&at, 0, sizeof at);
  at.sin_family = AF_INET;
  at.sin_port = htons(7105);
  const int holder = socket(AF_INET, SOCK_DGRAM, 0), free_fd = dup(0);
  close(free_fd);
  CHECK("net_open held, net_open_noloopback held",
        bind(holder, (struct sockaddr*)&at, sizeof at) == 0 &&
            net_open("224.2.127.254", 7105, 16) == -1 &&
            net_open_noloopback("224.2.127.254", 7105, 16) == -1 && dup(0) == free_fd);
  close(free_fd);
  close(holder);

  CHECK("net_is_local_addr, net_route_ifindex",
        net_is_local_addr(inet_addr("127.0.0.2")) && !net_is_local_addr(inet_addr("10.9.9.9")) &&
            net_route_ifindex(inet_addr("224.2.127.254")) == (int)if_nametoindex("lo"));
  return failed;
}
