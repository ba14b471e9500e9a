// vok_client.cc -- registers this host with a relay and prints each announcement it relays.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "network/net.h"
#include "sap.h"
#include "shutdown.h"

namespace {

const int kRequestPort = 6012;
const int kAnnouncePort = 9875;
const int kNameMax = 31;
const int kTries = 3;

const char* relay_host;
std::string name;
int control_fd = -1;

void request(const char* keyword) {
  const std::string text = std::string(keyword) + " " + name;
  net_write(control_fd, relay_host, kRequestPort, text.data(), static_cast<int>(text.size()));
}

// Unregisters on SIGINT or SIGTERM.
[[noreturn]] void leave(int) {
  request("Stop_vok_relay");
  exit(0);
}

long long monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// True when the relay's reply for name arrives on fd within a second.
bool await_reply(int fd) {
  const std::string want = "Reply Invite_vok_relay " + name;
  const long long deadline = monotonic_ms() + 1000;
  for (long long left; (left = deadline - monotonic_ms()) > 0;) {
    const timespec wait = {static_cast<time_t>(left / 1000), (left % 1000) * 1000000L};
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(fd, &ready);
    if (wait_readable(fd + 1, &ready, &wait) <= 0)
      return false;
    char buf[2048];
    const int n = net_read_buf(fd, buf, sizeof buf);
    if (n == static_cast<int>(want.size()) && want.compare(0, want.size(), buf, n) == 0)
      return true;
  }
  return false;
}

[[noreturn]] void fail(const std::string& why) {
  fprintf(stderr, "vok_client: %s\n", why.c_str());
  exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: vok_client RELAY-HOST [NAME]\n");
    return 2;
  }
  relay_host = argv[1];
  char self[256] = {};
  if (argc == 3)
    name = argv[2];
  else if (gethostname(self, sizeof self - 1) == 0)
    name = self;
  if (name.empty() || name.size() > kNameMax ||
      name.find_first_of(" \t\r\n\v\f") != std::string::npos)
    fail("NAME must be one word of 1 to 31 characters: \"" + name + "\"");

  // Announcements for NAME arrive at its address: take that one where it is
  // this host's, so several clients can share a host; else all addresses.
  const in_addr_t addr = static_cast<in_addr_t>(net_get_addr(name.c_str()));
  const char* local = addr != 0 && net_is_local_addr(addr) ? name.c_str() : nullptr;
  control_fd = net_bind(local, kRequestPort);
  const int data_fd = net_bind(local, kAnnouncePort);
  if (control_fd < 0 || data_fd < 0)
    fail("cannot bind UDP ports 6012 and 9875");
  if (net_get_addr(relay_host) == 0)
    fail(std::string("cannot resolve ") + relay_host);
  shutdown_init(leave);
  setvbuf(stdout, nullptr, _IOLBF, 0);

  bool registered = false;
  for (int i = 0; i < kTries && !registered; ++i) {
    // A reply lost after an admission leaves the name registered, and the
    // relay refuses it again silently: stop first so the retry is admitted.
    if (i > 0)
      request("Stop_vok_relay");
    request("Invite_vok_relay");
    registered = await_reply(control_fd);
  }
  if (!registered)
    fail("no reply from " + std::string(relay_host) + " to " + std::to_string(kTries) +
         " invitations for " + name);
  printf("registered with %s as %s\n", relay_host, name.c_str());

  static char buf[65536];
  for (;;) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(data_fd, &ready);
    if (wait_readable(data_fd + 1, &ready, nullptr) <= 0)
      continue;
    const int n = net_read_buf(data_fd, buf, sizeof buf);
    if (n >= 0)
      printf("%s\n", describe_datagram(buf, n).c_str());
  }
}
