// interpose.cc -- test doubles for system calls seen through the network module: they
// count or fail, then hand over to the real function.
#include "interpose.h"

#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

int domain_requests = 0;
bool refuse_group_bind = false;

namespace {

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int yp_get_default_domain(char** out) {
  ++domain_requests;
  static auto next = real<int (*)(char**)>("yp_get_default_domain");
  return next(out);
}

extern "C" int bind(int fd, const sockaddr* sa, socklen_t len) {
  const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(sa);
  if (refuse_group_bind && sa->sa_family == AF_INET && IN_MULTICAST(ntohl(in->sin_addr.s_addr))) {
    errno = EADDRNOTAVAIL;
    return -1;
  }
  static auto next = real<int (*)(int, const sockaddr*, socklen_t)>("bind");
  return next(fd, sa, len);
}
