// net.cc -- IPv4 UDP sockets and host-name resolution, callable from C and C++.
#include "net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/errqueue.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netdb.h>
#include <netinet/ip_icmp.h>
#include <rpcsvc/ypclnt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "memory.h"

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

// The NIS default domain, kept once obtained.
char* domain = nullptr;

// A UDP socket with address reuse bound to addr:port; -1 when it cannot be bound.
// A UDP socket bound to addr:port with the sharing option given
// (SO_REUSEADDR, SO_REUSEPORT or 0); -1 when it cannot be bound.
int bound_socket(in_addr_t addr, int port, int sharing = SO_REUSEADDR) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    perror("socket");
    return fd;
  }
  const int on = 1;
  if (sharing != 0 && setsockopt(fd, SOL_SOCKET, sharing, &on, sizeof on) != 0)
    perror("setsockopt");
  const sockaddr_in sa = make_addr(addr, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0) {
    perror("bind");
    close(fd);
    return -1;
  }
  return fd;
}

// A UDP socket bound to port on all local addresses; for a multicast group,
// joined to it on the interface with address iface. -1 when it cannot be bound.
int open_bound(const char* group, int port, char ttl, in_addr_t iface) {
  const in_addr_t addr = static_cast<in_addr_t>(net_get_addr(group));
  const int fd = bound_socket(htonl(INADDR_ANY), port);
  if (fd >= 0 && is_multicast(addr)) {
    ip_mreq mreq;
    mreq.imr_multiaddr.s_addr = addr;
    mreq.imr_interface.s_addr = iface;
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == -1)
      perror("setsockopt IP_ADD_MEMBERSHIP");
    const unsigned char hops = static_cast<unsigned char>(ttl);
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops) < 0)
      perror("setsockopt IP_MULTICAST_TTL");
  }
  return fd;
}

[[noreturn]] void fatal(const char* what) {
  perror(what);
  exit(1);
}

}  // namespace

extern "C" {

int net_get_addr(const char* hostname) {
  const int addr = net_host_addr(hostname);
  if (addr == 0)
    perror("bad hostname");
  return addr;
}

int net_host_addr(const char* hostname) {
  in_addr_t addr;
  return net_find_addr(hostname, &addr) == 0 ? static_cast<int>(addr) : 0;
}

int net_find_addr(const char* hostname, in_addr_t* addr) {
  char self[256];
  if (hostname == nullptr) {
    if (gethostname(self, sizeof self) < 0)
      return -1;
    self[sizeof self - 1] = '\0';
    hostname = self;
  }
  *addr = inet_addr(hostname);
  if (*addr != INADDR_NONE)
    return 0;
  // The reentrant lookup, so that several threads may resolve at once.
  hostent entry, *he = nullptr;
  char work[8192];
  int err = 0;
  if (gethostbyname_r(hostname, &entry, work, sizeof work, &he, &err) != 0 || he == nullptr ||
      he->h_addrtype != AF_INET || he->h_addr_list[0] == nullptr)
    return -1;
  memcpy(addr, he->h_addr_list[0], sizeof *addr);
  return 0;
}

int net_open(const char* group, int port, char ttl) {
  return open_bound(group, port, ttl, htonl(INADDR_ANY));
}

int net_open_noloopback(const char* group, int port, char ttl) {
  return open_bound(group, port, ttl, htonl(INADDR_LOOPBACK));
}

int net_bind(const char* host, int port) {
  if (host == nullptr)
    return bound_socket(htonl(INADDR_ANY), port);
  const in_addr_t addr = static_cast<in_addr_t>(net_get_addr(host));
  return addr == 0 ? -1 : bound_socket(addr, port);
}

int net_bind_own(const char* host, int port) {
  if (host == nullptr)
    return bound_socket(htonl(INADDR_ANY), port, SO_REUSEPORT);
  const in_addr_t addr = static_cast<in_addr_t>(net_get_addr(host));
  return addr == 0 ? -1 : bound_socket(addr, port, SO_REUSEPORT);
}

int net_port_held(int port) {
  // All addresses with address reuse: refused only beside a socket that shares with no one.
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  const sockaddr_in sa = make_addr(htonl(INADDR_ANY), port);
  const bool held = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                    bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0 &&
                    errno == EADDRINUSE;
  if (fd >= 0)
    close(fd);
  return held ? 1 : 0;
}

int net_rcvbuf(int fd, int bytes) {
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) < 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);  // capped by rmem_max
  int granted = -1;
  socklen_t len = sizeof granted;
  return getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &len) == 0 ? granted : -1;
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

int net_route_ifindex(in_addr_t dst) {
  struct {
    nlmsghdr head;
    rtmsg route;
    char attrs[RTA_SPACE(sizeof(in_addr_t))];
  } ask = {};
  ask.head.nlmsg_len = sizeof ask;
  ask.head.nlmsg_type = RTM_GETROUTE;
  ask.head.nlmsg_flags = NLM_F_REQUEST;
  ask.route.rtm_family = AF_INET;
  ask.route.rtm_dst_len = 32;
  rtattr* to = reinterpret_cast<rtattr*>(ask.attrs);
  to->rta_type = RTA_DST;
  to->rta_len = RTA_LENGTH(sizeof dst);
  memcpy(RTA_DATA(to), &dst, sizeof dst);
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  alignas(nlmsghdr) char answer[4096];
  const ssize_t n =
      fd < 0 || send(fd, &ask, sizeof ask, 0) < 0 ? -1 : recv(fd, answer, sizeof answer, 0);
  if (fd >= 0)
    close(fd);
  const nlmsghdr* head = reinterpret_cast<const nlmsghdr*>(answer);
  if (n < static_cast<ssize_t>(sizeof *head) || !NLMSG_OK(head, static_cast<unsigned>(n)) ||
      head->nlmsg_type != RTM_NEWROUTE)
    return 0;
  const rtmsg* route = static_cast<const rtmsg*>(NLMSG_DATA(head));
  int len = static_cast<int>(RTM_PAYLOAD(head));
  for (const rtattr* a = RTM_RTA(route); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
    if (a->rta_type == RTA_OIF)
      return *static_cast<const int*>(RTA_DATA(a));
  }
  return 0;
}

int net_read_refusal(int fd, struct sockaddr_in* dest) {
  char byte;
  iovec iov = {&byte, 1};
  sockaddr_in to = {};
  alignas(cmsghdr) char control[256];
  msghdr m = {};
  m.msg_name = &to;
  m.msg_namelen = sizeof to;
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  if (recvmsg(fd, &m, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
    return -1;
  if (dest != nullptr)
    *dest = to;
  for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR)
      continue;
    sock_extended_err err;
    memcpy(&err, CMSG_DATA(c), sizeof err);
    if (err.ee_origin == SO_EE_ORIGIN_ICMP && err.ee_type == ICMP_DEST_UNREACH &&
        (err.ee_code == ICMP_PORT_UNREACH || err.ee_code == ICMP_HOST_UNREACH))
      return 1;
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

in_addr host2ip(const char* host) {
  in_addr result;
  result.s_addr = 0;
  if (host == nullptr)
    return result;
  result.s_addr = inet_addr(host);
  if (result.s_addr != INADDR_NONE)
    return result;
  const hostent* he = gethostbyname(host);
  if (he != nullptr && he->h_addrtype == AF_INET && he->h_addr_list[0] != nullptr) {
    memcpy(&result.s_addr, he->h_addr_list[0], sizeof result.s_addr);
    return result;
  }
  if (domain == nullptr)
    yp_get_default_domain(&domain);  // stays null while this host has no domain
  char* value = nullptr;
  int len = 0;
  if (domain != nullptr &&
      yp_match(domain, "hosts.byname", host, static_cast<int>(strlen(host)), &value, &len) == 0) {
    // The value is "ADDRESS NAME...", of len bytes: read no further.
    char addr[16];
    int n = 0;
    while (n < len && n < static_cast<int>(sizeof addr) - 1 && value[n] != ' ' && value[n] != '\t')
      ++n;
    memcpy(addr, value, static_cast<size_t>(n));
    addr[n] = '\0';
    result.s_addr = inet_addr(addr);
  }
  free(value);
  return result;
}

void nonblock(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK | O_NDELAY) == -1)
    fatal("fcntl: F_SETFL");
}

void net_close(int fd) { close(fd); }

char* net_read(int fd, int* length, int length_max) {
  char* buf = xmalloc(static_cast<unsigned int>(length_max));
  if (buf == nullptr) {
    *length = -1;
    return nullptr;
  }
  *length = net_read_buf(fd, buf, length_max);
  if (*length > 0)
    return buf;
  xmemchk();
  xfree(buf);
  return nullptr;
}

void mcast_net_open(const char* group, int port, char ttl, int* rsock, int* ssock) {
  const in_addr_t addr = static_cast<in_addr_t>(net_get_addr(group));
  const in_addr_t loopback = htonl(INADDR_LOOPBACK);
  *rsock = *ssock = -1;

  const int r = socket(AF_INET, SOCK_DGRAM, 0);
  if (r < 0)
    fatal("socket");
  const int on = 1;
  if (setsockopt(r, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
    fatal("SO_REUSEADDR");
  // Binding the group address keeps other traffic to the port out; not every
  // system allows it, hence the fallback.
  sockaddr_in sa = make_addr(addr, port);
  if (bind(r, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0) {
    sa = make_addr(htonl(INADDR_ANY), port);
    if (bind(r, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0) {
      perror("GroupIPC bind");
      close(r);
      return;
    }
  }
  ip_mreq mreq;
  mreq.imr_multiaddr.s_addr = addr;
  mreq.imr_interface.s_addr = loopback;
  if (setsockopt(r, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0) {
    close(r);
    return;
  }

  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0)
    fatal("GroupIPC socket");
  const sockaddr_in local = make_addr(loopback, 0);
  if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0)
    fatal("GroupIPC bind");
  const sockaddr_in dest = make_addr(addr, port);
  if (connect(s, reinterpret_cast<const sockaddr*>(&dest), sizeof dest) < 0)
    fatal("GroupIPC connect");
  const unsigned char hops = static_cast<unsigned char>(ttl);
  if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops) < 0)
    fatal("GroupIPC: IP_MULTICAST_TTL");
  in_addr iface;
  iface.s_addr = loopback;
  if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) < 0)
    fatal("GroupIPC: IP_MULTICAST_IF");
  *rsock = r;
  *ssock = s;
}

}  // extern "C"
