// relay_test.cc -- the daemon as a process: start-up, the control protocol, relaying, its
// log, its statistics and kept clients, and the faults it must shrug off.
#include <sys/stat.h>

#include <chrono>
#include <random>

#include "clients_file.h"
#include "relay_fixture.h"

namespace {

// Run with these arguments, send these requests from alpha; expect these log lines after the
// start line, this reply to alpha, and an announcement at the command-line listener or not.
struct Scenario {
  const char* what;
  std::vector<std::string> args;
  std::vector<std::string> requests;
  std::vector<std::string> log;
  std::string reply;
  bool cmdline_gets = false;  // it reaches port 7000 (of any address)
  int alpha_copies = 0;       // copies of it that reach alpha
  int held_port = 0;          // held before the start: the relay ends at once, status 0
  std::string output;         // what it writes to its standard output
  const char* home = nullptr;  // HOME when not the test's own ("": none)
  int status = 0;              // its exit status, where it ends at once
};

TEST_F(RelayTest, StartUpAndRequestScenarios) {
  const std::string r = "Reply Invite_vok_relay alpha", a = "a new client [alpha]";
  Changed group_name(
      "cp /etc/hosts /tmp/hosts.plain && echo '224.2.127.254 sapgroup' >> /etc/hosts",
      "cp /tmp/hosts.plain /etc/hosts");
  const std::string not_served = "] not served: a group or broadcast address";
  const Scenario scenarios[] = {
      {"usage, after the start line", {"-h"}, {}, {}, "", false, 0, 0,
       "Usage: vok_relay [-loadcache]"},
      {"-g not a group", {"-g", "10.0.0.1", "-loadcache"}, {}, {}, "", false, 0, 0,
       "vok_relay: -g 10.0.0.1: not a multicast IPv4 address", nullptr, 2},
      {"-i without a value", {"-g", "239.255.255.255", "-i"}, {}, {}, "", false, 0, 0,
       "vok_relay: -i needs an interface", nullptr, 2},
      {"port 9875 held", {}, {}, {"cannot open socket for listening sd\n"}, "", false, 0, 9875, ""},
      {"port 6012 held", {}, {}, {"cannot open socket to listen to request"}, "", false, 0, 6012,
       ""},
      {"command-line listener", {"127.0.0.5", "7000"}, {}, {}, "", true, 0, 0, ""},
      {"command-line name too long", {kName32, "7000"}, {}, {}, "", false, 0, 0, ""},
      // Relaying to a group or a broadcast address would reach every relay on the link: a storm.
      {"command-line group", {kGroup, "7000"}, {}, {"client [" + std::string(kGroup) + not_served},
       "", false, 0, 0, ""},
      {"group and broadcast invitations", {},
       {"Invite_vok_relay 224.2.127.254", "Invite_vok_relay 239.255.255.255",
        "Invite_vok_relay 255.255.255.255", "Invite_vok_relay 0.0.0.0",
        "Invite_vok_relay 127.255.255.255", "Invite_vok_relay sapgroup", "Invite_vok_relay alpha"},
       {"client [sapgroup" + not_served, a}, r, false, 1, 0, ""},
      {"three arguments", {"127.0.0.5", "7000", "-loadcache"}, {}, {}, "", false, 0, 0, ""},
      {"white space and extra words", {}, {" \t\nInvite_vok_relay\n\talpha more words\n"}, {a}, r,
       false, 1, 0, ""},
      {"an escape sequence in a name", {}, {"Invite_vok_relay al\x1b[2Jpha"}, {}, "", false, 0, 0,
       ""},
      // Its own output comes back from the group, from itself and from 127.0.0.1: once only.
      {"own output", {kRelayHost, "9875"}, {"Invite_vok_relay 127.0.0.1", "Invite_vok_relay alpha"},
       {"a new client [127.0.0.1]", a}, r, false, 1, 0, ""},
      // A home that cannot be used is said once each way; the client is served all the same.
      {"no such home", {"-loadcache"}, {"Invite_vok_relay alpha"},
       {"enable loading cache", "cannot keep clients in /nowhere/.vok/clients",
        "cannot chdir to /nowhere/.vok/cache", a}, r, false, 1, 0, "", "/nowhere"},
      {"no HOME", {"-loadcache"}, {"Invite_vok_relay alpha"},
       {"enable loading cache", "cannot keep clients in $HOME/.vok/clients",
        "cannot chdir to $HOME/.vok/cache", a}, r, false, 1, 0, "", ""},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.what);
    unlink((home_ + "/.vok/clients").c_str());
    std::unique_ptr<Udp> holder;
    if (s.held_port != 0)
      holder = std::make_unique<Udp>("0.0.0.0", s.held_port, false);
    std::vector<std::string> env;
    if (s.home == nullptr || *s.home != '\0')
      env.push_back("HOME=" + (s.home != nullptr ? s.home : home_));
    PipedProcess relay(s.args, nullptr, env);
    expect_log(relay, "vok_relay server start");
    if (s.held_port != 0 || !s.output.empty()) {
      for (const std::string& line : s.log)
        expect_log(relay, line);
      EXPECT_EQ(s.status, relay.wait_exit());
    } else {
      const bool cache = !s.log.empty() && s.log[0] == "enable loading cache";
      std::vector<std::string> log = s.log;
      log.insert(log.begin() + cache, std::string("joined ") + kJoinedLo);
      ASSERT_TRUE(relay.wait_ready());
      Client alpha(kHosts[0]);
      Udp cmdline("0.0.0.0", 7000);  // a long name, whole or cut to fit, is another host
      for (const std::string& q : s.requests)
        alpha.control.send_to("127.0.0.1", 6012, q);
      std::string reply;
      EXPECT_EQ(s.reply, alpha.control.recv(&reply, 300) ? reply : "");
      for (const std::string& line : log)
        expect_log(relay, line);
      announce("scenario");
      for (int i = 0; i < s.alpha_copies; ++i)
        expect_relayed({&alpha.in}, "scenario");
      EXPECT_TRUE(quiet(alpha.in)) << "relayed to alpha again";
      EXPECT_EQ(s.cmdline_gets, cmdline.recv(&reply, 300));
      quit(relay);
    }
    std::string line;
    EXPECT_EQ(s.output, relay.next_line(&line, 100) ? line : "");
    EXPECT_TRUE(log_.drain(0).empty());
  }
}

TEST_F(RelayTest, AdmitsFourInOrderRefusesSilentlyRelaysInOrderAcrossAStopAndCountsAll) {
  auto relay = start();
  std::vector<std::unique_ptr<Client>> c;
  for (const TestHost& h : kHosts)
    c.push_back(std::make_unique<Client>(h));
  for (int i = 0; i < 3; ++i)
    admit(*relay, *c[i]);
  EXPECT_EQ("", invite(c[0]->control, c[0]->name, 300)) << "a duplicate is refused";
  admit(*relay, *c[3]);
  EXPECT_EQ("", invite(c[4]->control, c[4]->name, 300)) << "a fifth client is refused";
  c[0]->control.send_to("127.0.0.1", 6012, "junk");  // ignored, as is a stop for no one
  EXPECT_TRUE(log_.drain().empty());

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
                     "output 1, as from a listener 0, cut to 2048 bytes 1; requests admitted 5, "
                     "refused 2, ignored 2; removed as unreachable 0; log lines lost 0");
  announce("two");
  expect_relayed({&c[0]->in, &c[2]->in, &c[3]->in, &c[4]->in}, "two");
  EXPECT_TRUE(quiet(c[1]->in));
  quit(*relay, SIGHUP);  // a closed terminal ends it as SIGTERM does
}

TEST_F(RelayTest, RelaysUnicastAndBurstsOfTheSapGroupOnly) {
  auto relay = start();
  Client alpha(kHosts[0]);
  admit(*relay, alpha);
  // An address this host gains while the relay runs is its own too: what the relay sends there
  // comes back to it, and must go no further.
  Changed gained("ip addr add 10.9.9.9/32 dev lo", "ip addr del 10.9.9.9/32 dev lo");
  EXPECT_EQ("", invite(alpha.control, "10.9.9.9", 300));
  expect_log(*relay, "a new client [10.9.9.9]");
  // Every byte value, and the cut to 2048, are the chain and statistics tests' to show.
  announcer_.send_to("127.0.0.1", 9875, "unicast");
  expect_relayed({&alpha.in}, "unicast");
  // Another program on this host joins the organisation-local SAP group: not the relay's.
  Udp browser("239.255.255.255", 9875);
  join(browser, "239.255.255.255");
  announcer_.send_to("239.255.255.255", 9875, "not for the relay");
  std::string got;
  ASSERT_TRUE(browser.recv(&got));
  EXPECT_TRUE(quiet(alpha.in)) << "another group's datagram was relayed";
  expect_stream(alpha.in, 2000, 1000);  // a burst into an idle relay: its buffer holds them
  quit(*relay);
}

TEST_F(RelayTest, DeadListenersAndAStalledNameServerCostTheOthersNothing) {
  // 127.99.0.0/16 answers "no route to host"; 127.0.0.7:7777 refuses, and its
  // refusal fails the next send to whoever it is for, which must still arrive.
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
  EXPECT_EQ("Reply Invite_vok_relay alpha", invite(alpha.control, alpha.name, 300));
  expect_log(*relay, "a new client [alpha]");
  expect_stream(alpha.in, 300);
  for (const char* name : {"stalled.test", "127.99.0.1"})
    stop(alpha.control, name);
  expect_log(*relay, "client [stalled.test] quit");
  expect_log(*relay, "client [127.99.0.1] quit");
  // Names only the silent name server could answer, each invited and stopped: what their
  // lookups hold stays bounded, and a name the hosts file knows is answered at once.
  const long resident = resident_kb(relay->pid());
  (void)resident;  // not read where the sanitizer's allocator keeps what is freed
  for (int i = 0; i < 20000; ++i) {
    const std::string name = " n" + std::to_string(i) + ".test";
    beta.control.send_to("127.0.0.1", 6012, "Invite_vok_relay" + name);
    beta.control.send_to("127.0.0.1", 6012, "Stop_vok_relay" + name);
    if (i % 50 == 49) {  // the relay has read them all once it answers: none is dropped
      invite(beta.control, beta.name, 10000);
      stop(beta.control, beta.name);
    }
  }
  EXPECT_EQ("Reply Invite_vok_relay beta", invite(beta.control, beta.name, 1000));
#ifndef __SANITIZE_ADDRESS__  // its allocator keeps what is freed
  EXPECT_LT(resident_kb(relay->pid()) - resident, 2048) << "kB more after the flood";
#endif
  expect_stream(alpha.in, 20);
  log_.drain(100);
  stop(beta.control, beta.name);  // told of the lines the logger could not take, then this
  const std::vector<std::string> told = log_.drain();
  EXPECT_EQ("client [beta] quit", told.empty() ? "" : told.back());
  quit(*relay);  // within a second, though lookups still wait
}

// Invite/stop churn among malformed, over-long and binary requests, each reply awaited so that
// the relay reads every request, while the logger reads nothing.
TEST_F(RelayTest, ARequestFloodAndALoggerThatStopsReadingCostTheRelayNothing) {
  auto relay = start();
  Client alpha(kHosts[0]), beta(kHosts[1]);
  admit(*relay, alpha);
  const int fds = open_fds(relay->pid()), rounds = 1500;
  const std::string quad = kHosts[1].addr, junk[] = {"", "Invite_vok_relay", std::string(3000, 'x'),
                                                     "Invite_vok_relay " + std::string(200, 'n'),
                                                     std::string("\xff\0\x01 \x80", 5)};
  auto churn = [&] {  // two log lines a round
    for (int i = 0; i < rounds; ++i) {
      beta.control.send_to("127.0.0.1", 6012, junk[i % 5]);
      invite(beta.control, quad, 1000);
      stop(beta.control, quad);
    }
  };
  churn();
  expect_stream(alpha.in, 20);
  EXPECT_EQ(fds, open_fds(relay->pid()));
  const size_t logged = log_.drain(100).size();
  ASSERT_LT(logged, 2u * rounds) << "the logger's queue never filled";
  stop(alpha.control, alpha.name);
  // What the logger got and what the relay says it lost add up to what it wrote.
  LogLine lost;
  ASSERT_TRUE(log_.next(&lost));
  const size_t count = strtoul(lost.msg.c_str(), nullptr, 10);
  EXPECT_EQ(std::to_string(count) + " log lines lost", lost.msg);
  EXPECT_EQ(2u * rounds, logged + count);
  expect_log(*relay, "client [alpha] quit");
  admit(*relay, alpha);  // told once: no note before this line
  relay->signal(SIGUSR1);  // the totals count them too
  LogLine totals;
  ASSERT_TRUE(log_.next(&totals) && log_.next(&totals));
  const std::string want = "; log lines lost " + std::to_string(count);
  EXPECT_EQ(want, totals.msg.substr(totals.msg.size() - std::min(totals.msg.size(), want.size())));
  churn();
  relay->signal(SIGTERM);
  EXPECT_EQ(1, relay->wait_exit(1000));
}

TEST_F(RelayTest, ASignalAtAnyMomentEndsItAtOnce) {
  ASSERT_EQ(0, system(("mkdir -p " + home_ + "/.vok/cache && cd " + home_ + "/.vok/cache && " +
                       "printf 'n=a\\nk=\\nfirst' > a && printf 'n=b\\nk=\\nsecond' > b").c_str()));
  std::mt19937 random(20261206);
  Client alpha(kHosts[0]);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    unlink((home_ + "/.vok/clients").c_str());  // each round admits, and replays to, alpha anew
    auto relay = start({"-loadcache"});
    // Traffic that keeps it relaying or replaying, then nothing: the signal alone must wake it.
    if (round % 3 != 0)
      alpha.control.send_to("127.0.0.1", 6012, "Invite_vok_relay alpha");
    for (int i = 0; round % 3 == 2 && i < 50; ++i)
      announce(std::string(500, 'x'));
    usleep(std::uniform_int_distribution<>(0, 30000)(random));
    relay->signal(round % 2 ? SIGINT : SIGTERM);
    LogLine line;
    while (log_.next(&line, 300) && line.msg != "vok_relay server quit") {
    }
    EXPECT_EQ("vok_relay server quit", line.msg);
    EXPECT_EQ(1, relay->wait_exit(300));
    std::string ignored;
    while (alpha.in.recv(&ignored, 0) || alpha.control.recv(&ignored, 0)) {
    }
  }
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
  EXPECT_TRUE(quiet(alpha.control, 100)) << "a restored client gets no reply";
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
