// vok_demo.cc -- the relay at work in a private network: an announcer, the relay and two
// vok_clients that invite themselves, with the relay's log and what each client shows.
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "sandbox.h"

namespace {

void show_log(LogSink& log) {
  LogLine line;
  while (log.next(&line, 200))
    printf("  relay log: %s[%d]: %s\n", line.ident.c_str(), line.pid, line.msg.c_str());
}

// A session announcement as a session-directory tool sends it: SAP header, then SDP.
std::string announcement(int n) {
  const std::string sdp = "v=0\r\no=demo " + std::to_string(1000 + n) +
                          " 1 IN IP4 127.0.0.1\r\ns=Demo session " + std::to_string(n) +
                          "\r\nc=IN IP4 224.2.200." + std::to_string(n) + "/127\r\n";
  const std::string sap = {0x20, 0, 0x10, static_cast<char>(n), 127, 0, 0, 1};
  return sap + "application/sdp" + '\0' + sdp;
}

// A vok_client for one test host, its output read line by line.
struct Client {
  explicit Client(const TestHost& host)
      : name(host.name), process({"relayhost", host.name}, kClientPath) {
    printf("%s (%s) runs: vok_client relayhost %s\n", host.name, host.addr, host.name);
  }
  void show(int timeout_ms = 1000) {
    std::string line;
    while (process.next_line(&line, timeout_ms)) {
      printf("  %s shows: %s\n", name.c_str(), line.c_str());
      timeout_ms = 100;
    }
  }
  std::string name;
  PipedProcess process;
};

}  // namespace

int main() {
  std::string why;
  if (!enter_sandbox(&why)) {
    fprintf(stderr, "vok_demo: cannot build its private network: %s\n", why.c_str());
    return 1;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("A private network with only a loopback interface; the relay's host is relayhost.\n");
  LogSink log;
  Process relay({});
  if (!relay.wait_ready()) {
    fprintf(stderr, "vok_demo: the relay did not start\n");
    return 1;
  }
  show_log(log);

  Client alpha(kHosts[0]), beta(kHosts[1]);
  alpha.show(3000);
  beta.show(3000);
  show_log(log);

  Udp announcer("127.0.0.1", 0);
  for (int n = 1; n <= 3; ++n) {
    if (n == 3) {
      printf("SIGTERM to beta's vok_client, which sends \"Stop_vok_relay beta\"\n");
      beta.process.signal(SIGTERM);
      printf("  beta's vok_client ended with status %d\n", beta.process.wait_exit());
      show_log(log);
    }
    printf("the announcer multicasts session %d to 224.2.127.254:9875\n", n);
    announcer.send_to("224.2.127.254", 9875, announcement(n));
    alpha.show();
    if (n < 3)
      beta.show();
  }

  printf("SIGTERM to alpha's vok_client and to the relay\n");
  alpha.process.signal(SIGTERM);
  alpha.process.wait_exit();
  show_log(log);
  relay.signal(SIGTERM);
  show_log(log);
  const int status = relay.wait_exit();
  printf("the relay ended with status %d\n", status);
  return status == 1 ? 0 : 1;
}
