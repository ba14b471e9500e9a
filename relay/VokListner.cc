// VokListner.cc -- a client host and port that relayed datagrams are sent to.
#include "VokListner.h"

#include <string.h>

#include "network/net.h"

VokListner* VokListner::make(const char* name, int port) {
  const size_t len = strnlen(name, kMaxId + 1);
  if (len == 0 || len > kMaxId)
    return nullptr;
  return new VokListner(name, port);
}

VokListner::VokListner(const char* name, int port) : port(port) {
  snprintf(id, sizeof id, "%s", name);
}

FILE* VokListner::trace = stdout;

// The name is resolved at every send, so a client that changes address is followed.
void VokListner::send_msg(int fd, const char* msg, int len) {
  net_write(fd, id, port, msg, len);
  if (trace != nullptr)
    fprintf(trace, "msg for [%s/%d]\n", id, port);
}
