// fault_test.cc -- the relay under faults: dead listeners, names that stop resolving,
// signals at any moment.
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>

#include "relay_fixture.h"

namespace {

class FaultTest : public RelayTest {
 protected:
  // Announces count numbered datagrams; each client must get all of them, in order.
  void expect_stream(const std::vector<const Udp*>& clients, int count) {
    for (int i = 0; i < count; ++i)
      announce("seq " + std::to_string(i));
    for (const Udp* c : clients) {
      for (int i = 0; i < count; ++i) {
        std::string got;
        ASSERT_TRUE(c->recv(&got)) << "lost from " << i;
        ASSERT_EQ("seq " + std::to_string(i), got);
      }
      EXPECT_TRUE(c->quiet(100));
    }
  }
};

TEST_F(FaultTest, UnreachableHostsAndClosedPortsCostTheOtherListenersNothing) {
  // 127.99.0.0/16 answers "no route to host", without leaving the sandbox.
  ASSERT_EQ(0, system("ip route replace unreachable 127.99.0.0/16 table local"));
  auto relay = start({"127.0.0.7", "7777"});  // nobody listens at 127.0.0.7:7777
  Client alpha(kHosts[0]), beta(kHosts[1]);
  EXPECT_EQ("", invite(alpha.control, "127.99.0.1", 200));
  expect_log(*relay, "a new client [127.99.0.1]");
  for (Client* c : {&alpha, &beta}) {
    admit(*relay, *c);
  }
  expect_stream({&alpha.in, &beta.in}, 300);
  quit(*relay);
  EXPECT_EQ(0, system("ip route del unreachable 127.99.0.0/16 table local"));
}

TEST_F(FaultTest, AStalledNameServerHoldsUpOnlyTheListenerItNames) {
  Udp dns("127.0.0.1", 53);  // takes every query and answers none
  auto relay = start();
  Client alpha(kHosts[0]), beta(kHosts[1]);
  beta.control.send_to("127.0.0.1", 6012, "Invite_vok_relay stalled.test");
  EXPECT_EQ("Reply Invite_vok_relay alpha", invite(alpha.control, alpha.name, 300));
  expect_log(*relay, "a new client [alpha]");
  expect_stream({&alpha.in}, 20);
  quit(*relay);  // within a second, though a lookup still waits
}

TEST_F(FaultTest, ALoggerThatStopsReadingCostsTheRelayNothing) {
  auto relay = start();
  Client alpha(kHosts[0]), beta(kHosts[1]);
  admit(*relay, alpha);
  const std::string quad = kHosts[1].addr;  // needs no lookup: exactly two lines a round
  // Two log lines per round, unread, until the logger's queue is full; each
  // reply awaited, so no request is lost before the relay reads it.
  const int rounds = 1500;
  auto churn = [&] {
    for (int i = 0; i < rounds; ++i) {
      invite(beta.control, quad, 1000);
      stop(beta.control, quad);
    }
  };
  churn();
  expect_stream({&alpha.in}, 20);
  Client gamma(kHosts[2]);  // answered only once the churn before it has been read
  ASSERT_NE("", invite(gamma.control, kHosts[2].addr));
  const size_t logged = log_.drain(100).size();
  stop(alpha.control, alpha.name);
  LogLine lost;
  ASSERT_TRUE(log_.next(&lost));
  const int count = atoi(lost.msg.c_str());
  EXPECT_EQ(std::to_string(count) + " log lines lost", lost.msg);
  EXPECT_GT(count, 0);
  EXPECT_LE(logged + count, 2u * rounds + 1);
  expect_log(*relay, "client [alpha] quit");
  churn();
  relay->signal(SIGTERM);
  EXPECT_EQ(1, relay->wait_exit(1000));
}

TEST_F(FaultTest, SignalsAtAnyMomentEndWithTheQuitLineAndStatus1) {
  ASSERT_EQ(0, system("mkdir -p /tmp/fault-home/.vok/cache && "
                      "printf 'n=a\\nk=\\nfirst' > /tmp/fault-home/.vok/cache/a && "
                      "printf 'n=b\\nk=\\nsecond' > /tmp/fault-home/.vok/cache/b"));
  std::mt19937 random(20261206);
  Client alpha(kHosts[0]), beta(kHosts[1]);
  for (int round = 0; round < 20; ++round) {
    unlink("/tmp/fault-home/.vok/clients");  // each round admits, and replays to, both anew
    auto relay = start({"-loadcache"}, {"HOME=/tmp/fault-home"});
    expect_log(*relay, "enable loading cache");
    // Traffic that keeps it sending and replaying while the signal lands.
    alpha.control.send_to("127.0.0.1", 6012, "Invite_vok_relay alpha");
    for (int i = 0; i < 50; ++i)
      announce(std::string(500, 'x'));
    beta.control.send_to("127.0.0.1", 6012, "Invite_vok_relay beta");
    usleep(std::uniform_int_distribution<>(0, 30000)(random));
    const int sig = round % 2 ? SIGINT : SIGTERM;
    relay->signal(sig);
    bool quit_line = false;
    LogLine line;
    while (!quit_line && log_.next(&line, 1500))
      quit_line = line.msg == "vok_relay server quit";
    EXPECT_TRUE(quit_line) << "round " << round;
    EXPECT_EQ(1, relay->wait_exit(1000)) << "round " << round;
    log_.drain(0);
    std::string ignored;
    while (alpha.in.recv(&ignored, 0) || beta.in.recv(&ignored, 0) ||
           alpha.control.recv(&ignored, 0) || beta.control.recv(&ignored, 0)) {
    }
  }
}

}  // namespace
