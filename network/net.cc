// net.cc -- IPv4 UDP sockets and host-name resolution, callable from C and C++.
#include "net.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in make_addr(in_addr_t addr, int port) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return sa;
}

bool is_multicast(in_addr_t addr) {
  return (ntohl(addr) & 0xF0000000u) == 0xE0000000u;
}

}  // namespace

extern "C" {

int net_get_addr(const char* hostname) {
  char self[256];
  if (hostname == nullptr) {
    if (gethostname(self, sizeof self) < 0)
      return 0;
    self[sizeof self - 1] = '\0';
    hostname = self;
  }
  in_addr_t addr = inet_addr(hostname);
  if (addr != INADDR_NONE)
    return static_cast<int>(addr);
  const hostent* he = gethostbyname(hostname);
  if (he == nullptr || he->h_addrtype != AF_INET || he->h_addr_list[0] == nullptr) {
    perror("bad hostname");
    return 0;
  }
  memcpy(&addr, he->h_addr_list[0], sizeof addr);
  return static_cast<int>(addr);
}

int net_open(const char* group, int port, char ttl) {
  const in_addr_t addr = static_cast<in_addr_t>(net_get_addr(group));
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    perror("socket");
    return fd;
  }
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    perror("setsockopt SO_REUSEADDR");
  const sockaddr_in sa = make_addr(htonl(INADDR_ANY), port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0) {
    perror("bind");
    close(fd);
    return -1;
  }
  if (is_multicast(addr)) {
    ip_mreq mreq;
    mreq.imr_multiaddr.s_addr = addr;
    mreq.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == -1)
      perror("setsockopt IP_ADD_MEMBERSHIP");
    const unsigned char hops = static_cast<unsigned char>(ttl);
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops) < 0)
      perror("setsockopt IP_MULTICAST_TTL");
  }
  return fd;
}

int net_read_buf(int fd, char* data_in, int length_max) {
  sockaddr_in from;
  return net_read_buf_from(fd, data_in, length_max, &from);
}

int net_read_buf_from(int fd, char* data_in, int length_max, sockaddr_in* from) {
  socklen_t len = sizeof *from;
  return static_cast<int>(recvfrom(fd, data_in, static_cast<size_t>(length_max), 0,
                                   reinterpret_cast<sockaddr*>(from), &len));
}

int net_write(int fd, const char* group, int port, const char* buffer, int length) {
  const in_addr_t addr = static_cast<in_addr_t>(net_get_addr(group));
  // Address 0 reaches this host itself on many systems: never send there.
  if (addr == 0)
    return -1;
  const sockaddr_in sa = make_addr(addr, port);
  const ssize_t n = sendto(fd, buffer, static_cast<size_t>(length), 0,
                           reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  if (n < 0) {
    perror("net_write: sendto");
    return static_cast<int>(n);
  }
  return 0;
}

int net_is_local_addr(in_addr_t addr) {
  if ((ntohl(addr) >> 24) == 127)
    return 1;
  ifaddrs* list;
  if (getifaddrs(&list) < 0)
    return 0;
  int local = 0;
  for (const ifaddrs* i = list; i != nullptr && !local; i = i->ifa_next) {
    if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET)
      local = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == addr;
  }
  freeifaddrs(list);
  return local;
}

}  // extern "C"
