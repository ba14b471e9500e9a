// udp_host.cc -- UDP sockets of the sandbox's test hosts, and what they say to the relay.
#include <arpa/inet.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sandbox.h"

bool readable(int fd, int timeout_ms) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

Udp::Udp(const char* addr, int port, bool reuse, bool any_source)
    : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  const int on = 1;
  // Shared as a client on the relay's host shares: with a relay of the same user.
  if (reuse) {
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd_, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
  }
  if (any_source)
    setsockopt(fd_, SOL_IP, IP_TRANSPARENT, &on, sizeof on);
  // Clients that read late must not lose what the relay sent meanwhile.
  const int room = 8 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = inet_addr(addr);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0)
    die((std::string("bind ") + addr + ":" + std::to_string(port)).c_str());
}

Udp::~Udp() { close(fd_); }

bool Udp::send_to(const char* addr, int port, const std::string& data) const {
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = inet_addr(addr);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) ==
         static_cast<ssize_t>(data.size());
}

bool Udp::recv(std::string* data, int timeout_ms, sockaddr_in* from) const {
  if (!readable(fd_, timeout_ms))
    return false;
  static char buf[65536];
  sockaddr_in sa;
  socklen_t len = sizeof sa;
  const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&sa), &len);
  if (n < 0)
    return false;
  data->assign(buf, static_cast<size_t>(n));
  if (from != nullptr)
    *from = sa;
  return true;
}

std::string invite(const Udp& client, const std::string& name, int timeout_ms) {
  client.send_to("127.0.0.1", 6012, "Invite_vok_relay " + name);
  std::string reply;
  return client.recv(&reply, timeout_ms) ? reply : std::string();
}

