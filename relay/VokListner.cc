// VokListner.cc -- a client host and port that relayed datagrams are sent to.
#include "VokListner.h"

#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include "request.h"

namespace {
unsigned next_serial = 0;
}

VokListner* VokListner::make(const char* name, int port) {
  if (!printable_word(name, strnlen(name, kMaxId + 1)))
    return nullptr;
  return new VokListner(name, port);
}

VokListner::VokListner(const char* name, int port) : serial(++next_serial), port(port) {
  snprintf(id, sizeof id, "%s", name);
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
}

void VokListner::set_address(in_addr_t addr) {
  if (addr != 0)
    to.sin_addr.s_addr = addr;
}

void VokListner::send_msg(int fd, const char* msg, int len) {
  if (destination() != nullptr)
    sendto(fd, msg, static_cast<size_t>(len), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

bool VokListner::refused(long long now) {
  ++refusals;
  if (refused_since < 0 || (sent_unrefused >= 0 && now - sent_unrefused >= kAliveMs))
    refused_since = now;
  sent_unrefused = -1;
  return now - refused_since >= kDeadMs;
}
