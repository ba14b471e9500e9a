// relay_test.cc -- the daemon as a process: start-up, control protocol, relaying, shutdown.
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "relay_fixture.h"

namespace {

TEST_F(RelayTest, UsageGoesToTheCallerAfterTheStartLine) {
  PipedProcess relay({"-h"});
  expect_log(relay, "vok_relay server start");
  EXPECT_EQ(0, relay.wait_exit());
  std::string line;
  EXPECT_TRUE(relay.next_line(&line));
  EXPECT_EQ("Usage: vok_relay [-loadcache]", line);
  EXPECT_FALSE(relay.next_line(&line, 100)) << "nothing more";
  EXPECT_TRUE(log_.drain().empty());
}

TEST_F(RelayTest, StartUpFailsWithItsReasonWhenAPortIsHeld) {
  const struct {
    int port;
    const char* reason;
  } cases[] = {{9875, "cannot open socket for listening sd\n"},
               {6012, "cannot open socket to listen to request"}};
  for (const auto& c : cases) {
    Udp holder("0.0.0.0", c.port, false);
    Process relay({});
    expect_log(relay, "vok_relay server start");
    expect_log(relay, c.reason);
    EXPECT_EQ(0, relay.wait_exit());
  }
}

TEST_F(RelayTest, AdmitsFourInOrderRefusesSilentlyAndRelaysInOrderAcrossAStop) {
  auto relay = start();
  std::vector<std::unique_ptr<Client>> c;
  for (const TestHost& h : kHosts)
    c.push_back(std::make_unique<Client>(h));
  for (int i = 0; i < 4; ++i)
    admit(*relay, *c[i]);
  EXPECT_EQ("", invite(c[4]->control, c[4]->name, 300)) << "a fifth client is refused";
  EXPECT_EQ("", invite(c[0]->control, c[0]->name, 300)) << "a duplicate is refused";
  EXPECT_TRUE(log_.drain().empty());

  announce("one");
  expect_relayed({&c[0]->in, &c[1]->in, &c[2]->in, &c[3]->in}, "one");

  stop(c[1]->control, c[1]->name);
  expect_log(*relay, "client [beta] quit");
  stop(c[1]->control, c[1]->name);  // no longer registered: nothing happens
  admit(*relay, *c[4]);
  announce("two");
  expect_relayed({&c[0]->in, &c[2]->in, &c[3]->in, &c[4]->in}, "two");
  EXPECT_TRUE(c[1]->in.quiet());
  quit(*relay, SIGHUP);  // a closed terminal ends it as SIGTERM does
}

TEST_F(RelayTest, RelaysEveryByteUnchangedFromGroupAndUnicastCutTo2048) {
  auto relay = start();
  Client alpha(kHosts[0]);
  admit(*relay, alpha);
  std::string all;
  for (int i = 0; i < 256; ++i)
    all += static_cast<char>(i);
  std::string big(3000, 'x');
  for (size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<char>(i * 7);
  announce(all);
  expect_relayed({&alpha.in}, all);
  announce(big);
  expect_relayed({&alpha.in}, big.substr(0, 2048));
  announcer_.send_to("127.0.0.1", 9875, big.substr(0, 2048));
  expect_relayed({&alpha.in}, big.substr(0, 2048));
  // Another program on this host joins the organisation-local SAP group: not the relay's.
  Udp browser("239.255.255.255", 9875);
  ip_mreq join = {};
  join.imr_multiaddr.s_addr = inet_addr("239.255.255.255");
  ASSERT_EQ(0, setsockopt(browser.fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join));
  announcer_.send_to("239.255.255.255", 9875, "not for the relay");
  ASSERT_TRUE(browser.recv(&all));
  EXPECT_TRUE(alpha.in.quiet()) << "another group's datagram was relayed";
  quit(*relay);
}

TEST_F(RelayTest, AbsorbsABurstOf2000DatagramsWithoutLoss) {
  auto relay = start();
  Client alpha(kHosts[0]);
  admit(*relay, alpha);
  for (int i = 0; i < 2000; ++i)
    announce(std::to_string(i) + std::string(1000, 'b'));
  for (int i = 0; i < 2000; ++i) {
    std::string got;
    ASSERT_TRUE(alpha.in.recv(&got)) << "lost from " << i;
    ASSERT_EQ(std::to_string(i), got.substr(0, got.find('b')));
  }
  quit(*relay);
}

TEST_F(RelayTest, RequestsReadAsTwoWordsAndMalformedOnesAreIgnored) {
  auto relay = start();
  Client alpha(kHosts[0]), beta(kHosts[1]);
  EXPECT_EQ("Reply Invite_vok_relay alpha",
            invite(alpha.control, "alpha extra words\n", 2000).substr(0, 28));
  expect_log(*relay, "a new client [alpha]");
  beta.control.send_to("127.0.0.1", 6012, " \t\nStop_vok_relay\n\talpha\n");
  expect_log(*relay, "client [alpha] quit");
  // Each of these would act on the earlier words, or on a cut name, if it were not ignored.
  const std::string binary("\x00\xff\x01 Invite_vok_relay", 20);
  for (const std::string& junk : {std::string("Invite_vok_relay"), std::string(), binary,
                                  std::string("Reply Invite_vok_relay alpha"),
                                  std::string("Invite_vok_relay ") + kName32,
                                  std::string("Invite_vok_relay al\x1b[2Jpha"),
                                  std::string(40, 'I') + " alpha"})
    beta.control.send_to("127.0.0.1", 6012, junk);
  EXPECT_TRUE(alpha.control.quiet());
  EXPECT_TRUE(beta.control.quiet());
  EXPECT_TRUE(log_.drain().empty());
  EXPECT_EQ(std::string("Reply Invite_vok_relay ") + kName31, invite(beta.control, kName31));
  expect_log(*relay, std::string("a new client [") + kName31 + "]");
  quit(*relay);
}

TEST_F(RelayTest, CommandLineListenerGetsAnnouncementsFromTheStartWithoutReplyOrLog) {
  Udp listener(kHosts[0].addr, 7000);
  auto relay = start({kHosts[0].name, "7000"});
  announce("first");
  expect_relayed({&listener}, "first");
  quit(*relay);
  EXPECT_TRUE(log_.drain().empty());

  // Too long a name, or too many arguments: nobody is registered.
  Udp cut(kHosts[1].addr, 7000);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{kName32, "7000"},
        std::vector<std::string>{kHosts[0].name, "7000", "-loadcache"}}) {
    relay = start(args);
    announce("none");
    EXPECT_TRUE(listener.quiet());
    EXPECT_TRUE(cut.quiet());
    quit(*relay);
  }
}

TEST_F(RelayTest, OwnOutputComingBackIsNotRelayedAgain) {
  auto relay = start({kRelayHost, "9875"});
  Client alpha(kHosts[0]);
  ASSERT_NE("", invite(alpha.control, alpha.name));
  // Neither reply reaches alpha: one name does not resolve, the other is the relay's own.
  EXPECT_EQ("", invite(alpha.control, "nosuchhost", 100));
  EXPECT_EQ("", invite(alpha.control, "127.0.0.1", 100));
  for (const char* name : {"alpha", "nosuchhost", "127.0.0.1"})
    expect_log(*relay, std::string("a new client [") + name + "]");
  announce("once");
  expect_relayed({&alpha.in}, "once");
  EXPECT_TRUE(alpha.in.quiet(500)) << "the relay's own output went round again";
  quit(*relay);
}

}  // namespace

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_F(RelayTest, ClientsAreKeptAcrossARestartAndABadFileAdmitsWhatItCan) {
  const std::string file = home_ + "/.vok/clients";
  Client alpha(kHosts[0]), beta(kHosts[1]), gamma(kHosts[2]);
  Udp listener(kHosts[3].addr, 7000);
  auto relay = start({kHosts[3].addr, "7000"});  // not kept: it comes from the command line
  for (Client* c : {&gamma, &beta, &alpha})
    admit(*relay, *c);
  stop(beta.control, beta.name);
  expect_log(*relay, "client [beta] quit");
  EXPECT_EQ("gamma 9875\nalpha 9875\n", read_file(file));
  quit(*relay);

  relay = start();
  expect_log(*relay, "client [gamma] restored");
  expect_log(*relay, "client [alpha] restored");
  announce("after the restart");
  expect_relayed({&gamma.in, &alpha.in}, "after the restart");
  EXPECT_TRUE(alpha.control.quiet(100)) << "a restored client gets no reply";
  quit(*relay);

  // Cut, corrupt and oversized: what is whole and valid still counts, at once.
  std::ofstream(file) << "beta 9875\n\x01\xff garbage\nalpha\n" << std::string(5000, 'x')
                      << "\ngamma 9875\n";
  relay = start();
  expect_log(*relay, "client [beta] restored");
  EXPECT_TRUE(log_.drain().empty());
  quit(*relay);
  EXPECT_EQ("beta 9875\n", read_file(file));
}

TEST_F(RelayTest, Sigusr1LogsEachClientAndTheTotalsAndRelayingGoesOn) {
  auto relay = start();
  Client alpha(kHosts[0]), beta(kHosts[1]);
  admit(*relay, alpha);
  admit(*relay, beta);
  announce("12345");
  announce(std::string(3000, 'c'));
  expect_relayed({&alpha.in, &beta.in}, "12345");
  expect_relayed({&alpha.in, &beta.in}, std::string(2048, 'c'));
  {
    Udp own("127.0.0.1", 6012);  // what comes from there is the relay's own output
    own.send_to(kGroup, 9875, "own");
  }
  invite(alpha.control, alpha.name, 100);           // refused: registered already
  alpha.control.send_to("127.0.0.1", 6012, "junk");  // ignored
  stop(beta.control, beta.name);
  expect_log(*relay, "client [beta] quit");
  relay->signal(SIGUSR1);
  expect_log(*relay, "client [alpha] at 127.0.0.2 port 9875 for 0 s: relayed 2 datagrams of "
                     "2053 bytes, send failures 0, refusals 0, replay none");
  expect_log(*relay, "up 0 s: received 3 datagrams, relayed 4, dropped as own output 1, "
                     "cut to 2048 bytes 1; requests admitted 2, refused 1, ignored 1; "
                     "removed as unreachable 0; log lines lost 0");
  announce("still");
  expect_relayed({&alpha.in}, "still");
  quit(*relay);
}

}  // namespace
