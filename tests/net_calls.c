/* net_calls.c -- the network module's interface, one case for each function, each able to
 * fail. Written in the C that C++ also takes: c_linkage runs it as a C program, net_test
 * compiles it into C++. Run in the test sandbox: lo only, multicast routed to it, the host
 * "alpha" at 127.0.0.2. */
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

/* One datagram sent from a fresh socket to addr:port. */
static void send_one(const char* addr, int port, const char* text) {
  const int fd = net_bind("127.0.0.1", 0);
  net_write(fd, addr, port, text, (int)strlen(text));
  net_close(fd);
}

static int resolves(void) {
  return net_get_addr("10.1.2.3") == (int)inet_addr("10.1.2.3") &&
         net_host_addr("alpha") == (int)inet_addr("127.0.0.2") &&
         net_get_addr(0) == (int)inet_addr("127.0.1.1") && net_get_addr("nosuchhost") == 0 &&
         host2ip("alpha").s_addr == inet_addr("127.0.0.2") && host2ip(0).s_addr == 0;
}

static int group_socket_receives(void) {
  char buf[16];
  unsigned char ttl = 0;
  socklen_t len = sizeof ttl;
  const int fd = net_open("224.2.127.254", 7100, 16);
  send_one("224.2.127.254", 7100, "group");
  const int ok = getsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len) == 0 && ttl == 16 &&
                 net_read_buf(fd, buf, sizeof buf) == 5;
  net_close(fd);
  return ok;
}

static int loopback_group_and_sender(void) {
  struct sockaddr_in from;
  char buf[16];
  const int fd = net_open_noloopback("239.1.2.3", 7101, 0);
  send_one("239.1.2.3", 7101, "lo");
  const int ok = net_read_buf_from(fd, buf, sizeof buf, &from) == 2 &&
                 from.sin_addr.s_addr == htonl(INADDR_LOOPBACK);
  net_close(fd);
  return ok;
}

static int channel_pair(void) {
  int r, s, len = 0;
  mcast_net_open("239.1.2.4", 7102, 0, &r, &s);
  const int sent = r >= 0 && send(s, "pair", 4, 0) == 4;
  char* got = sent ? net_read(r, &len, 16) : 0;
  const int ok = got != 0 && len == 4 && memcmp(got, "pair", 4) == 0;
  xfree(got);
  net_close(r);
  net_close(s);
  return ok;
}

static int unresolved_sends_nothing(void) {
  char buf[8];
  const int fd = net_bind("127.0.0.1", 7103);
  nonblock(fd);
  /* Address 0 would reach this host itself. */
  const int ok = net_write(fd, "nosuchhost", 7103, "x", 1) < 0 &&
                 net_write(fd, "0.0.0.0", 7103, "x", 1) < 0 &&
                 net_read_buf(fd, buf, sizeof buf) < 0 && errno == EAGAIN;
  net_close(fd);
  return ok && fcntl(fd, F_GETFD) < 0;
}

static int empty_datagram_and_buffers(void) {
  int len = -1;
  const int fd = net_bind(0, 7104);
  send_one("127.0.0.1", 7104, "");
  char* got = net_read(fd, &len, 16);
  const int ok = got == 0 && len == 0 && net_rcvbuf(fd, 1 << 20) >= 1 << 20;
  net_close(fd);
  char* p = xmalloc(8);
  xmemchk();
  xfree(p);
  return ok && p != 0;
}

static int held_port_fails_without_a_leak(void) {
  struct sockaddr_in at;
  memset(&at, 0, sizeof at);
  at.sin_family = AF_INET;
  at.sin_port = htons(7105);
  const int holder = socket(AF_INET, SOCK_DGRAM, 0); /* no address reuse */
  const int free_fd = dup(0);
  close(free_fd);
  const int ok = bind(holder, (struct sockaddr*)&at, sizeof at) == 0 &&
                 net_open("224.2.127.254", 7105, 16) == -1 &&
                 net_open_noloopback("224.2.127.254", 7105, 16) == -1 && dup(0) == free_fd;
  close(free_fd);
  close(holder);
  return ok;
}

static int local_and_routed(void) {
  return net_is_local_addr(inet_addr("127.0.0.2")) && !net_is_local_addr(inet_addr("10.9.9.9")) &&
         net_route_ifindex(inet_addr("224.2.127.254")) == (int)if_nametoindex("lo");
}

/* Runs every case; the number that failed, each named on standard error. */
int net_calls(void) {
  static const struct {
    const char* name;
    int (*run)(void);
  } cases[] = {{"net_get_addr, net_host_addr, host2ip", resolves},
               {"net_open, net_read_buf, net_write", group_socket_receives},
               {"net_open_noloopback, net_read_buf_from", loopback_group_and_sender},
               {"mcast_net_open, net_read", channel_pair},
               {"net_write unresolved, nonblock, net_close", unresolved_sends_nothing},
               {"net_read empty, net_rcvbuf, xmalloc, xmemchk, xfree", empty_datagram_and_buffers},
               {"net_open held, net_open_noloopback held", held_port_fails_without_a_leak},
               {"net_is_local_addr, net_route_ifindex", local_and_routed}};
  int failed = 0;
  for (unsigned i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    if (!cases[i].run()) {
      fprintf(stderr, "failed: %s\n", cases[i].name);
      ++failed;
    }
  }
  return failed;
}
