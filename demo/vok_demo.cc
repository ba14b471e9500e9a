// vok_demo.cc -- the relay at work in a private network: an announcer, the relay and two
// clients that invite themselves, with the relay's log and what each client receives.
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>

#include <string>

#include "harness.h"

namespace {

LogSink* the_log;

void show_log() {
  LogLine line;
  while (the_log->next(&line, 200))
    printf("  relay log: %s[%d]: %s\n", line.ident.c_str(), line.pid, line.msg.c_str());
}

// A session announcement as a session-directory tool sends it: SAP header, then SDP.
std::string announcement(int n) {
  const std::string sdp = "v=0\r\no=demo " + std::to_string(1000 + n) +
                          " 1 IN IP4 127.0.0.1\r\ns=Demo session " + std::to_string(n) +
                          "\r\nc=IN IP4 224.2.200." + std::to_string(n) + "/127\r\n";
  std::string sap = {0x20, 0, static_cast<char>(n >> 8), static_cast<char>(n), 127, 0, 0, 1};
  return sap + "application/sdp" + '\0' + sdp;
}

void show_received(const char* who, const Udp& in) {
  std::string data;
  sockaddr_in from;
  while (in.recv(&data, 200, &from)) {
    const size_t s = data.find("s=");
    const std::string session = s == std::string::npos ? "?" : data.substr(s, data.find('\r', s) - s);
    printf("  %s received %zu bytes from port %d: %s\n", who, data.size(), ntohs(from.sin_port),
           session.c_str());
  }
}

}  // namespace

int main() {
  std::string why;
  if (!enter_sandbox(&why)) {
    fprintf(stderr, "vok_demo: cannot build its private network: %s\n", why.c_str());
    return 1;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("A private network with only a loopback interface; the relay joins 224.2.127.254:9875.\n");
  LogSink log;
  the_log = &log;
  Relay relay({});
  if (!relay.wait_ready()) {
    fprintf(stderr, "vok_demo: the relay did not start\n");
    return 1;
  }
  show_log();

  const TestHost& a = kHosts[0];
  const TestHost& b = kHosts[1];
  Udp a_control(a.addr, 6012), a_in(a.addr, 9875), b_control(b.addr, 6012), b_in(b.addr, 9875);
  for (const auto& c : {std::make_pair(&a, &a_control), std::make_pair(&b, &b_control)}) {
    printf("%s (%s) sends \"Invite_vok_relay %s\" to the relay's port 6012\n", c.first->name,
           c.first->addr, c.first->name);
    printf("  %s got: \"%s\"\n", c.first->name, invite(*c.second, c.first->name).c_str());
    show_log();
  }

  Udp announcer("127.0.0.1", 0);
  for (int n = 1; n <= 3; ++n) {
    if (n == 3) {
      printf("beta sends \"Stop_vok_relay beta\"\n");
      stop(b_control, b.name);
      show_log();
    }
    printf("the announcer multicasts session %d to 224.2.127.254:9875\n", n);
    announcer.send_to("224.2.127.254", 9875, announcement(n));
    show_received(a.name, a_in);
    show_received(b.name, b_in);
  }

  printf("SIGTERM to the relay\n");
  relay.signal(SIGTERM);
  show_log();
  const int status = relay.wait_exit();
  printf("the relay ended with status %d\n", status);
  return status == 1 ? 0 : 1;
}
