// vok_demo.cc -- the relay at work in a private network: an announcer, the relay, a client on
// its host and one on a host that multicast does not reach, with the relay's log and what each
// client shows.
#include <arpa/inet.h>
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

// A vok_client, its output read line by line.
struct Client {
  Client(const std::string& name, std::unique_ptr<PipedProcess> process)
      : name(name), process(std::move(process)) {}
  void show(int timeout_ms = 1000) {
    std::string line;
    while (process->next_line(&line, timeout_ms)) {
      printf("  %s shows: %s\n", name.c_str(), line.c_str());
      timeout_ms = 100;
    }
  }
  std::string name;
  std::unique_ptr<PipedProcess> process;
};

// What a SAP browser on the far host hears.
void show_heard(const Udp& browser) {
  std::string heard;
  if (!browser.recv(&heard, 300)) {
    printf("  farhost's SAP browser heard nothing\n");
    return;
  }
  do
    printf("  farhost's SAP browser heard it (%zu bytes) from farhost's vok_client -m\n",
           heard.size());
  while (browser.recv(&heard, 100));
}

}  // namespace

int main() {
  std::string why;
  if (!enter_sandbox(&why)) {
    fprintf(stderr, "vok_demo: cannot build its private network: %s\n", why.c_str());
    return 1;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("A private network: relayhost, where the relay runs, and farhost, joined to it by a\n"
         "link (10.201.0.0/24) across which relayhost routes no multicast.\n");
  FarHost far("farhost", "vfar", "10.201.0", false);
  LogSink log;
  // A home of its own, where the relay keeps its clients across restarts.
  char home[] = "/tmp/relayhost-home.XXXXXX";
  if (mkdtemp(home) == nullptr)
    die("a home for the relay");
  Process relay({}, {std::string("HOME=") + home});
  if (!relay.wait_ready()) {
    fprintf(stderr, "vok_demo: the relay did not start\n");
    return 1;
  }
  show_log(log);

  printf("farhost's SAP browser joins 224.2.127.254 and listens on port 9875\n");
  const std::unique_ptr<Udp> browser = far.udp("224.2.127.254", 9875);
  ip_mreq group = {};
  group.imr_multiaddr.s_addr = inet_addr("224.2.127.254");
  if (setsockopt(browser->fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) < 0)
    die("farhost's browser joins the group");
  Udp announcer("127.0.0.1", 0);
  printf("the announcer multicasts session 1 to 224.2.127.254:9875\n");
  announcer.send_to("224.2.127.254", 9875, announcement(1));
  show_heard(*browser);

  printf("%s (%s) runs: vok_client relayhost %s\n", kHosts[0].name, kHosts[0].addr,
         kHosts[0].name);
  Client alpha(kHosts[0].name,
               std::make_unique<PipedProcess>(std::vector<std::string>{"relayhost", kHosts[0].name},
                                              kClientPath));
  printf("farhost (10.201.0.2) runs: vok_client -m relayhost\n");
  Client farhost("farhost", far.run(kClientPath, {"-m", "relayhost"}));
  alpha.show(3000);
  farhost.show(3000);
  show_log(log);

  for (int n = 2; n <= 3; ++n) {
    if (n == 3) {
      printf("SIGTERM to farhost's vok_client, which sends \"Stop_vok_relay farhost\"\n");
      farhost.process->signal(SIGTERM);
      printf("  farhost's vok_client ended with status %d\n", farhost.process->wait_exit());
      show_log(log);
    }
    printf("the announcer multicasts session %d to 224.2.127.254:9875\n", n);
    announcer.send_to("224.2.127.254", 9875, announcement(n));
    alpha.show();
    if (n < 3)
      farhost.show();
    show_heard(*browser);
  }

  printf("SIGTERM to alpha's vok_client and to the relay\n");
  alpha.process->signal(SIGTERM);
  alpha.process->wait_exit();
  show_log(log);
  relay.signal(SIGTERM);
  show_log(log);
  const int status = relay.wait_exit();
  printf("the relay ended with status %d\n", status);
  printf("\nMore: README.md (deployment recipes: two links, chains, a service, who may do what),\n"
         "man vok_relay and man vok_client (here: man -l packaging/vok_relay.8).\n");
  return status == 1 ? 0 : 1;
}
