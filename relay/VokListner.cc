// VokListner.cc -- a client host and port that relayed datagrams are sent to.
#include "VokListner.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "common/protocol.h"
#include "network/net.h"

namespace {

// A non-blocking UDP socket bound to port on all addresses, beside the
// request socket, and connected to dest; -1 when it cannot be had.
int connected_socket(int port, const sockaddr_in& dest) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  const int on = 1;
  sockaddr_in here = {};
  here.sin_family = AF_INET;
  here.sin_port = htons(static_cast<uint16_t>(port));
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) < 0 ||
      setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) < 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&here), sizeof here) < 0 ||
      connect(fd, reinterpret_cast<const sockaddr*>(&dest), sizeof dest) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A send that failed because of an ICMP report read since: worth one more try.
bool refusal_pending(int err) {
  return err == ECONNREFUSED || err == EHOSTUNREACH || err == ENETUNREACH;
}

}  // namespace

VokListner* VokListner::make(const char* name, int port) {
  if (!printable_word(name, strnlen(name, kMaxId + 1)))
    return nullptr;
  return new VokListner(name, port);
}

VokListner::VokListner(const char* name, int port) {
  snprintf(id, sizeof id, "%s", name);
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
}

VokListner::~VokListner() {
  if (sock >= 0)
    close(sock);
}

void VokListner::set_address(const Address& addr) {
  if (sock >= 0 && addr.v4() == to.sin_addr.s_addr)
    return;
  to.sin_addr.s_addr = addr.v4();
  // A socket already made is connected anew: it is never left unconnected
  // beside the request socket, where it could take a request.
  if (sock >= 0 && connect(sock, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
    close(sock);
    sock = -1;
  }
  if (sock < 0)
    sock = connected_socket(kRequestPort, to);
}

void VokListner::send_msg(int, const char* msg, int len) {
  iovec iov = {const_cast<char*>(msg), static_cast<size_t>(len)};
  mmsghdr m = {};
  m.msg_hdr.msg_iov = &iov;
  m.msg_hdr.msg_iovlen = 1;
  send(&m, 1, false);
}

int VokListner::send_batch(mmsghdr* msgs, int n) {
  return send(msgs, n, true);
}

int VokListner::send(mmsghdr* msgs, int n, bool relaying) {
  if (to.sin_addr.s_addr == 0)
    return 0;
  bool retried = false;
  int at = 0;
  while (at < n && sock >= 0) {
    const int sent = sendmmsg(sock, msgs + at, static_cast<unsigned>(n - at), MSG_DONTWAIT);
    if (sent > 0) {
      counts_.sent += static_cast<unsigned>(sent);
      for (int k = at; k < at + sent && relaying; ++k) {
        ++counts_.relayed;
        counts_.bytes += msgs[k].msg_len;
      }
      at += sent;
      retried = false;
    } else if (errno == EINTR) {
      continue;
    } else if (refusal_pending(errno) && !retried) {
      read_reports();
      retried = true;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
      break;  // the rest would not fit either
    } else {
      ++counts_.failures;
      ++at;
      retried = false;
    }
  }
  counts_.failures += static_cast<unsigned>(n - at);
  return at;
}

void VokListner::read_reports() {
  char byte;
  while (sock >= 0 && recv(sock, &byte, 1, MSG_DONTWAIT) >= 0) {
  }
  for (int report; sock >= 0 && (report = net_read_refusal(sock, nullptr)) >= 0;)
    counts_.refusals += report == 1;
}
