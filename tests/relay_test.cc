// relay_test.cc -- the daemon as a process: start-up, the control protocol, relaying, its
// log, its statistics and kept clients, and the faults it must shrug off.
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "clients_file.h"
#include "common/signals.h"
#include "relay_fixture.h"

namespace {

// Run with these arguments and HOME, send these requests from alpha; expect these log lines
// after the start line and where it joined, alpha admitted or not, and an announcement at the
// command-line listener or not.
struct Scenario {
  const char* what;
  std::vector<std::string> args, requests = {}, log = {};
  bool alpha = false;          // answered, "a new client [alpha]" logged last, relayed to once
  bool cmdline_gets = false;   // it reaches port 7000 (of any address)
  const char* home = nullptr;  // HOME when not the test's own ("": none)
};

TEST_F(RelayTest, StartUpAndRequestScenarios) {
  // Command lines that end it at once, after its start line: a port held, or a word to whoever
  // ran it and the status.
  const struct {
    std::vector<std::string> args;
    int held_port;  // negative: held with address reuse, as a SAP browser may
    std::string log, output;
    int status;
  } endings[] = {
      {{"-h"}, 0, "", "Usage: vok_relay [-loadcache]", 0},
      {{"-g", "10.0.0.1", "-loadcache"}, 0, "",
       "vok_relay: -g 10.0.0.1: not a multicast IPv4 address", 2},
      {{"-g", "239.255.255.255", "-i"}, 0, "", "vok_relay: -i needs an interface", 2},
      {{"-o", "lo", "-t", "256"}, 0, "", "vok_relay: -t 256: not a time-to-live from 0 to 255", 2},
      {{"-a", "local", "-a", "10.0.0.0/33"}, 0, "", "vok_relay: -a 10.0.0.0/33: not "
                                                   "NETWORK[/LEN] or local", 2},
      {{"-e", "59"}, 0, "", "vok_relay: -e 59: not a number of seconds from 60 to 86400", 2},
      {{"-g", "239.0.0.1", "-g", "239.0.0.2", "-g", "239.0.0.3", "-g", "239.0.0.4", "-g",
        "239.0.0.5", "-g", "239.0.0.6", "-g", "239.0.0.7", "-g", "239.0.0.8"},
       0, "", "vok_relay: -g 239.0.0.8: more groups than 8", 2},
      {{}, 9875, "cannot open socket for listening sd\n",
       "vok_relay: cannot bind UDP port 9875: another program holds it", 3},
      {{}, -9875, "cannot take unicast on 127.0.0.1 port 9875: another program holds it",
       "vok_relay: cannot bind UDP port 9875: another program holds it", 3},
      {{}, 6012, "cannot open socket to listen to request",
       "vok_relay: UDP port 6012 is taken: is another vok_relay running here?", 3},
  };
  for (const auto& e : endings) {
    std::unique_ptr<Udp> holder;
    if (e.held_port != 0)
      holder = std::make_unique<Udp>("0.0.0.0", abs(e.held_port), e.held_port < 0);
    PipedProcess relay(e.args, nullptr, {"HOME=" + home_});
    expect_log(relay, "vok_relay server start");
    if (!e.log.empty())
      expect_log(relay, e.log);
    EXPECT_EQ(e.status, relay.wait_exit()) << e.output;
    std::string line;
    EXPECT_EQ(e.output, relay.next_line(&line, 100) ? line : "");
    EXPECT_EQ(std::vector<std::string>(), log_.drain(0));
  }

  const HostsLine group_name("224.2.127.254 sapgroup\n0.0.0.0 nohost");
  const std::string not_served = "] not served: a group or broadcast address";
  const std::string twin = "] not served: 127.0.0.2 port 9875 is served already as [alpha]";
  const Scenario scenarios[] = {
      {"command-line listener", {"127.0.0.5", "7000"}, {}, {}, false, true},
      // Relaying to a group or a broadcast address would reach every relay on the link: a storm.
      {"group and broadcast invitations", {},
       {"Invite_vok_relay 255.255.255.255", "Invite_vok_relay 127.255.255.255",
        "Invite_vok_relay sapgroup", "Invite_vok_relay nohost", "Invite_vok_relay alpha"},
       {"client [sapgroup" + not_served, "client [nohost" + not_served}, true},
      // However it is spelt or named, one address and port is served once.
      {"one host, one place", {},
       {"Invite_vok_relay alpha", "Invite_vok_relay ALPHA", "Invite_vok_relay 0x7f.0.0.2"},
       {"a new client [alpha]", "client [ALPHA" + twin, "client [0x7f.0.0.2" + twin}, true},
      {"three arguments", {"127.0.0.5", "7000", "-loadcache"}, {},
       {"ignored arguments: 127.0.0.5 7000 -loadcache"}},
      // A home that cannot be used is said once each way; the client is served all the same.
      {"no HOME", {"-loadcache"}, {"Invite_vok_relay alpha"},
       {"enable loading cache", "cannot keep clients in $HOME/.vok/clients",
        "cannot chdir to $HOME/.vok/cache"}, true, false, ""},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.what);
    unlink((home_ + "/.vok/clients").c_str());
    std::vector<std::string> env, log = s.log;
    if (s.home == nullptr || *s.home != '\0')
      env.push_back("HOME=" + (s.home != nullptr ? s.home : home_));
    log.insert(log.begin() + (!log.empty() && (log[0] == "enable loading cache" ||
                                                log[0].rfind("ignored arguments", 0) == 0)),
               std::string("joined ") + kJoinedLo);
    if (s.alpha && std::find(log.begin(), log.end(), "a new client [alpha]") == log.end())
      log.push_back("a new client [alpha]");
    Process relay(s.args, env);
    expect_log(relay, "vok_relay server start");
    ASSERT_TRUE(relay.wait_ready());
    Client alpha(kHosts[0]);
    Udp cmdline("0.0.0.0", 7000);  // a long name, whole or cut to fit, is another host
    for (const std::string& q : s.requests)
      alpha.control.send_to("127.0.0.1", 6012, q);
    std::string reply;
    EXPECT_EQ(s.alpha ? "Reply Invite_vok_relay alpha" : "",
              alpha.control.recv(&reply, 300) ? reply : "");
    for (const std::string& line : log)
      expect_log(relay, line);
    announce("scenario");
    if (s.alpha)
      expect_relayed({&alpha.in}, "scenario");
    EXPECT_TRUE(quiet(alpha.in)) << "relayed to alpha again";
    EXPECT_EQ(s.cmdline_gets, cmdline.recv(&reply, 300));
    quit(relay);
    EXPECT_TRUE(log_.drain(0).empty());
  }
}

// What the relay tells its service manager, read as it comes (a full queue would hold the
// relay up), each message with the time it came (ms).
class NotifySocket {
 public:
  NotifySocket() : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_un at = {AF_UNIX, "/tmp/notify"};
    EXPECT_EQ(0, bind(fd_, reinterpret_cast<const sockaddr*>(&at), sizeof at));
    reader_ = std::thread([this] {
      for (char text[512]; !done_;) {
        const ssize_t n = readable(fd_, 50) ? recv(fd_, text, sizeof text, 0) : 0;
        std::lock_guard<std::mutex> hold(lock_);
        if (n > 0)
          got_.push_back({now_ms(), std::string(text, static_cast<size_t>(n))});
      }
    });
  }
  ~NotifySocket() {
    done_ = true;
    reader_.join();
    close(fd_);
    unlink("/tmp/notify");
  }
  // What came since the last call.
  std::vector<std::pair<long long, std::string>> take() {
    std::lock_guard<std::mutex> hold(lock_);
    return std::move(got_);
  }

 private:
  int fd_;
  std::atomic<bool> done_{false};
  std::mutex lock_;
  std::vector<std::pair<long long, std::string>> got_;
  std::thread reader_;
};

TEST_F(RelayTest, AdmitsFourInOrderRefusesSilentlyRelaysInOrderAcrossAStopAndCountsAll) {
  // With a service manager that wants pings every 400 ms.
  NotifySocket notify;
  auto relay = start({}, {kJoinedLo}, {"NOTIFY_SOCKET=/tmp/notify", "WATCHDOG_USEC=400000"});
  std::vector<std::unique_ptr<Client>> c;
  for (const TestHost& h : kHosts)
    c.push_back(std::make_unique<Client>(h));
  for (int i = 0; i < 3; ++i)
    admit(*relay, *c[i]);
  EXPECT_EQ("", invite(c[0]->control, c[0]->name, 300)) << "a refresh is not answered";
  admit(*relay, *c[3]);
  EXPECT_EQ("", invite(c[4]->control, c[4]->name, 300)) << "a fifth client is refused";
  c[0]->control.send_to("127.0.0.1", 6012, "junk");  // ignored, as is a stop for no one
  EXPECT_TRUE(log_.drain().empty());
  // Its ports are its own: another user cannot bind them, on any address, reuse or not; a
  // second relay ends at once, saying so.
  const std::pair<const char*, int> taken[] = {
      {"127.0.0.1", 6012}, {"0.0.0.0", 6012}, {"127.0.0.9", 6012}, {"127.0.0.1", 9875},
      {"0.0.0.0", 9875}};  // 9875 of the group is shared: each gets every datagram
  for (const auto& [addr, port] : taken) {
    const pid_t other = fork();
    if (other == 0) {
      const int own = setuid(65534), fd = socket(AF_INET, SOCK_DGRAM, 0), on = 1;
      const sockaddr_in at = {AF_INET, htons(static_cast<uint16_t>(port)), {inet_addr(addr)}, {}};
      _exit(own == 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0 &&
                    bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) < 0 &&
                    errno == EADDRINUSE
                ? 0
                : 1);
    }
    int status = -1;
    waitpid(other, &status, 0);
    EXPECT_EQ(0, status) << "another user bound " << addr << ":" << port;
  }
  PipedProcess second({}, nullptr, {"HOME=" + home_});
  expect_log(second, "vok_relay server start");
  expect_log(second, "cannot open socket to listen to request");
  EXPECT_EQ(3, second.wait_exit());
  expect_line(second, "vok_relay: UDP port 6012 is taken: is another vok_relay running here?");

  announce("one");
  announce(std::string(3000, 'c'));
  Udp("127.0.0.1", 6012).send_to(kGroup, 9875, "own");  // from there: the relay's own output
  expect_relayed({&c[0]->in, &c[1]->in, &c[2]->in, &c[3]->in}, "one");
  expect_relayed({&c[0]->in, &c[1]->in, &c[2]->in, &c[3]->in}, std::string(2048, 'c'));
  stop(c[1]->control, c[1]->name);
  expect_log(*relay, "client [beta] quit");
  stop(c[1]->control, c[1]->name);  // no longer registered: nothing happens
  admit(*relay, *c[4]);
  relay->signal(SIGUSR1);
  for (int i : {0, 2, 3, 4})
    expect_log(*relay, "client [" + c[i]->name + "] at " + kHosts[i].addr + " port 9875 for 0 s: " +
                           (i < 4 ? "relayed 2 datagrams of 2051" : "relayed 0 datagrams of 0") +
                           " bytes, send failures 0, refusals 0, replay none");
  expect_log(*relay, "up 0 s: received 3 datagrams (224.2.127.254 3), relayed 8, dropped as own "
                     "output 1, as from a listener 0, as seen 0, as unicast from elsewhere 0, "
                     "cut to 2048 bytes 1; requests admitted 5, refreshed 1, turned down 1, "
                     "ignored 2, ignored as from outside the allowed networks 0, over budget 0, "
                     "not from the client 0; removed as unreachable 0, expired 0; log lines "
                     "lost 0");
  // Ready first, then pings twice in the watchdog's time, and the status once a second at most.
  usleep(1100000);
  auto told = notify.take();
  ASSERT_LT(10u, told.size());
  EXPECT_EQ("READY=1\nSTATUS=0 clients, 0 datagrams relayed, no announcement yet", told[0].second);
  long long pinged = told[0].first;
  std::vector<std::pair<long long, std::string>> statuses = {told[0]};
  auto check = [&] {
    for (const auto& [at, text] : told) {
      if (text == "WATCHDOG=1") {
        EXPECT_TRUE(pinged == 0 || (at - pinged > 150 && at - pinged < 350)) << at - pinged;
        pinged = at;
      } else if (text.rfind("STATUS=", 0) == 0) {
        EXPECT_GT(at - statuses.back().first, 950) << text;
        statuses.push_back({at, text.substr(0, text.size() - 8)});  // less the time of day
      }
    }
  };
  told.erase(told.begin());
  check();
  // A relay that stops turning stops pinging, so the manager can restart it.
  relay->signal(SIGSTOP);
  usleep(100000);
  notify.take();
  usleep(1000000);
  EXPECT_EQ(0u, notify.take().size());
  relay->signal(SIGCONT);
  pinged = 0;  // the first after it, the watchdog's to judge

  announce("two");
  expect_relayed({&c[0]->in, &c[2]->in, &c[3]->in, &c[4]->in}, "two");
  announce("three");
  expect_relayed({&c[0]->in, &c[2]->in, &c[3]->in, &c[4]->in}, "three");
  EXPECT_TRUE(quiet(c[1]->in));
  usleep(1000000);
  told = notify.take();
  check();
  const std::string last = "STATUS=4 clients, %d datagrams relayed, last announcement at ";
  ASSERT_EQ(4u, statuses.size());
  for (int i = 1; i < 4; ++i) {
    char want[100];
    snprintf(want, sizeof want, last.c_str(), 4 + i * 4);
    EXPECT_EQ(want, statuses[i].second);
  }
  quit(*relay, SIGHUP);  // a closed terminal ends it as SIGTERM does
  told = notify.take();
  ASSERT_FALSE(told.empty());
  EXPECT_EQ("STOPPING=1", told.back().second);
}

TEST_F(RelayTest, DeadListenersAStalledNameServerAndAFullLoggerCostTheOthersNothing) {
  // 127.99.0.0/16 answers "no route to host" and 127.0.0.7:7777 refuses: alpha loses nothing.
  Changed route("ip route replace unreachable 127.99.0.0/16 table local",
                "ip route del unreachable 127.99.0.0/16 table local");
  Udp dns("127.0.0.1", 53);  // takes every query and answers none
  // A host name that no file knows: the relay has no use for its address, and must not wait.
  Changed nameless("hostname nowhere-known", "hostname relayhost");
  const auto begin = std::chrono::steady_clock::now();
  auto relay = start({"127.0.0.7", "7777"});
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1)) << "ports late";
  Client alpha(kHosts[0]), beta(kHosts[1]);
  alpha.control.send_to("127.0.0.1", 6012, "Invite_vok_relay stalled.test");
  EXPECT_EQ("", invite(alpha.control, "127.99.0.1", 200));
  expect_log(*relay, "a new client [127.99.0.1]");
  admit(*relay, alpha);
  expect_stream(alpha.in, 300);
  for (const char* name : {"stalled.test", "127.99.0.1"})
    stop(alpha.control, name);
  expect_log(*relay, "client [stalled.test] quit");
  expect_log(*relay, "client [127.99.0.1] quit");
  // Names only the silent name server could answer, each invited and stopped among malformed,
  // over-long and binary requests, while the logger reads nothing: what their lookups hold
  // stays bounded, and beta, whom the hosts file knows, is answered at once. Each round comes
  // from an address of its own, as many hosts would ask, each within its budget.
  const long resident = resident_kb(relay->pid());
  (void)resident;  // not read where the sanitizer's allocator keeps what is freed
  const long fds = open_fds(relay->pid());
  const std::string junk[] = {"", "Invite_vok_relay", std::string(3000, 'x'),
                              "Invite_vok_relay " + std::string(200, 'n'),
                              std::string("\xff\0\x01 \x80", 5)};
  std::string reply;
  const size_t rounds = 20000, written = rounds + rounds / 50 * 2 + 1;  // quits, beta's lines
  for (size_t i = 0; i < rounds; ++i) {
    const std::string name = " n" + std::to_string(i) + ".test";
    const Forged from(htonl(0x7f010000 + static_cast<in_addr_t>(i)));  // 127.1.0.0 on
    from.send(junk[i % 5]);
    from.send("Invite_vok_relay" + name);
    from.send("Stop_vok_relay" + name);
    if (i % 50 == 49) {  // the relay has read them all once it answers: none is dropped
      from.send("Invite_vok_relay beta");
      ASSERT_TRUE(beta.control.recv(&reply, 10000)) << "round " << i;
      from.send("Stop_vok_relay beta");
    }
  }
  EXPECT_EQ("Reply Invite_vok_relay beta", invite(beta.control, beta.name, 1000));
#ifndef __SANITIZE_ADDRESS__  // its allocator keeps what is freed
  EXPECT_LT(resident_kb(relay->pid()) - resident, 2048) << "kB more after the flood";
#endif
  EXPECT_GE(fds + 8, open_fds(relay->pid())) << "more open than the stalled lookups hold";
  expect_stream(alpha.in, 20);
  // What the logger got and what the relay says it lost add up to what it wrote.
  const size_t logged = log_.drain(100).size();
  ASSERT_LT(logged, written) << "the logger's queue never filled";
  stop(beta.control, beta.name);
  LogLine lost;
  ASSERT_TRUE(log_.next(&lost));
  const size_t count = strtoul(lost.msg.c_str(), nullptr, 10);
  EXPECT_EQ(std::to_string(count) + " log lines lost", lost.msg);
  EXPECT_EQ(written, logged + count);
  expect_log(*relay, "client [beta] quit");
  relay->signal(SIGUSR1);  // told once, and counted in the totals
  const std::vector<std::string> told = log_.drain();
  const std::string want = "; log lines lost " + std::to_string(count);
  ASSERT_EQ(3u, told.size()) << "two clients and the totals";
  EXPECT_EQ(want, told[2].substr(told[2].size() - std::min(told[2].size(), want.size())));
  // An address this host gains while the relay runs is its own too: what the relay sends
  // there comes back to it, and must go no further.
  Changed gained("ip addr add 10.9.9.9/32 dev lo", "ip addr del 10.9.9.9/32 dev lo");
  EXPECT_EQ("", invite(alpha.control, "10.9.9.9", 300));
  expect_log(*relay, "a new client [10.9.9.9]");
  announcer_.send_to("127.0.0.1", 9875, "unicast");
  expect_relayed({&alpha.in}, "unicast");
  expect_stream(alpha.in, 2000, 1000);  // a burst into an idle relay: its buffer holds them
  quit(*relay);  // within a second, though lookups still wait
}

TEST_F(RelayTest, ClientsAreKeptAcrossARestartAndABadFileAdmitsWhatItCan) {
  const std::string file = home_ + "/.vok/clients";
  Client alpha(kHosts[0]), beta(kHosts[1]), gamma(kHosts[2]);
  auto relay = start({kHosts[3].addr, "7000"});  // not kept: it comes from the command line
  for (Client* c : {&gamma, &beta, &alpha})
    admit(*relay, *c);
  stop(beta.control, beta.name);
  expect_log(*relay, "client [beta] quit");
  quit(*relay);  // within the second the file may lag: written as it quits
  EXPECT_EQ("gamma 9875\nalpha 9875\n", read_file(file));

  relay = start();
  expect_log(*relay, "client [gamma] restored");
  expect_log(*relay, "client [alpha] restored");
  announce("after the restart");
  expect_relayed({&gamma.in, &alpha.in}, "after the restart");
  quit(*relay);

  // Only whole, valid lines in the first kClientsFileMax bytes count, once each, at once: that
  // limit cuts epsilon's line, and zeta's is beyond it.
  std::string text = "beta 7000 extra words\n\x01\xff garbage\nalpha\nbad 70000\n" +
                     std::string("esc\x1b[2J 9875\n") + std::string(40, 'n') +
                     " 9875\ngamma 9875x\ndelta 9875\nbeta 9875\n";
  text += std::string(kClientsFileMax - 11 - text.size(), '#') + "\nepsilon 9875\nzeta 9875\n";
  std::ofstream(file) << text;
  // The file is made anew each time, never written through: not through a stale temporary file
  // that is a link, or one that others may read, nor in place under a second name.
  std::ofstream(home_ + "/elsewhere") << "not the relay's\n";
  ASSERT_EQ(0, symlink((home_ + "/elsewhere").c_str(), (file + ".tmp").c_str()));
  ASSERT_EQ(0, link(file.c_str(), (home_ + "/second-name").c_str()));
  relay = start();
  expect_log(*relay, "client [beta] restored");
  expect_log(*relay, "client [delta] restored");
  EXPECT_TRUE(log_.drain().empty());
  ASSERT_EQ(0, system(("install -m 0666 /dev/null " + file + ".tmp").c_str()));
  admit(*relay, alpha);
  quit(*relay);
  EXPECT_EQ("beta 7000\ndelta 9875\nalpha 9875\n", read_file(file));
  EXPECT_EQ(text, read_file(home_ + "/second-name"));
  EXPECT_EQ("not the relay's\n", read_file(home_ + "/elsewhere"));
  struct stat st;
  ASSERT_EQ(0, lstat(file.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & 0777) == 0600) << std::oct << st.st_mode;

  // A full disk: said once, tried again at each change, and the file is whole when there is room.
  Changed full("mount -t tmpfs -o size=8k tmpfs " + home_ + "/.vok && { dd if=/dev/zero of=" +
                   home_ + "/.vok/fill 2>/dev/null; true; }",
               "umount " + home_ + "/.vok");
  relay = start();
  admit(*relay, alpha);
  expect_log(*relay, "cannot keep clients in " + file);
  admit(*relay, gamma);
  EXPECT_TRUE(log_.drain(1500).empty()) << "said twice";
  ASSERT_EQ(0, unlink((home_ + "/.vok/fill").c_str()));
  admit(*relay, beta);
  EXPECT_TRUE(log_.drain(1500).empty());
  EXPECT_EQ("alpha 9875\ngamma 9875\nbeta 9875\n", read_file(file));
  quit(*relay);
}

}  // namespace
