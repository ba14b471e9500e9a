// two_hosts_test.cc -- the relay and its clients on different hosts: what loopback alone
// hides (ICMP from a client's host, a Debian-style /etc/hosts, relays in a chain, multicast
// that must not leave a host).
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "far_host.h"
#include "relay_fixture.h"

namespace {

const char kFar[] = "10.201.0.2";

// Joins u to the SAP group on the interface with address iface (any: the route's), and to
// that alone.
void join(const Udp& u, const char* iface) {
  const int off = 0;
  ASSERT_EQ(0, setsockopt(u.fd(), IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off));
  ip_mreq m = {};
  m.imr_multiaddr.s_addr = inet_addr(kGroup);
  m.imr_interface.s_addr = inet_addr(iface);
  ASSERT_EQ(0, setsockopt(u.fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m));
}

// Within a minute (the client's keep-alive, the relay's patience with refusals): the relay
// restarts having forgotten its clients, the far client registers again by itself, and a
// listener whose far port refuses is removed while the far client is kept.
TEST_F(RelayTest, OverAMinuteAFarClientRegistersAgainAndADeadListenerIsRemoved) {
  FarHost far;
  auto relay = start();
  // The default NAME: this host's name, 127.0.1.1 in its own hosts file.
  auto client = far.run(kClientPath, {"relayhost"});
  std::string line;
  ASSERT_TRUE(client->next_line(&line));
  EXPECT_EQ("vok_client: farhost is 127.0.1.1 here, which relayhost cannot reach: the relay must "
            "resolve farhost to an address of this host (or give one as NAME)",
            line);
  ASSERT_TRUE(client->next_line(&line));
  EXPECT_EQ("registered with relayhost as farhost", line);
  expect_log(*relay, "a new client [farhost]");
  quit(*relay);

  ASSERT_EQ(0, unlink((home_ + "/.vok/clients").c_str()));
  relay = start({kFar, "7777"});  // nothing listens at the far host's port 7777
  int sent = 0;
  bool removed = false, again = false;
  LogLine log_line;
  const int rate = 10, limit = 80 * rate;
  const auto since = std::chrono::steady_clock::now();
  auto seconds = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
  };
  for (; sent < limit && !(removed && again); ++sent) {
    announce("seq " + std::to_string(sent));
    if (log_.next(&log_line, 1000 / rate)) {
      if (log_line.msg == "a new client [farhost]") {
        again = true;
        ASSERT_TRUE(client->next_line(&line, 1000));
        EXPECT_EQ("registered again with relayhost as farhost", line);
        EXPECT_GE(seconds(), 55) << "registered again before its minute";
      } else {
        removed = true;
        EXPECT_EQ(std::string("client [") + kFar + "] unreachable, removed", log_line.msg);
        EXPECT_GE(seconds(), 59.9) << "removed before a minute of refusals";
      }
    }
  }
  EXPECT_TRUE(removed && again) << "after " << sent << " announcements";
  announce("after");
  bool shown = false;
  while (!shown && client->next_line(&line))
    shown = line == "5 bytes: 6166746572";
  EXPECT_TRUE(shown) << "the far client got nothing after registering again";
  client->signal(SIGHUP);
  expect_log(*relay, "client [farhost] quit");
  quit(*relay);
}

// A relay registered as a client of another relays on to its own clients, each announcement
// once and byte for byte: how more than four hosts are served.
TEST_F(RelayTest, ChainedRelaysDeliverEachAnnouncementOnce) {
  FarHost far;
  auto upstream = start();
  Udp listener(FarHost::kNearAddr, 7000);  // the downstream relay's client, back on this side
  auto downstream = far.run(kRelayPath, {FarHost::kNearAddr, "7000"});
  ASSERT_TRUE(far.wait_bound(9875));
  Client alpha(kHosts[0]);
  admit(*upstream, alpha);
  EXPECT_EQ("", invite(alpha.control, kFar, 300)) << "the reply goes to the far relay";
  expect_log(*upstream, std::string("a new client [") + kFar + "]");
  // Its own address on the link: what it sends there comes back, and must not go round.
  EXPECT_EQ("", invite(alpha.control, FarHost::kNearAddr, 300));
  expect_log(*upstream, std::string("a new client [") + FarHost::kNearAddr + "]");
  std::string all;
  for (int i = 0; i < 256; ++i)
    all += static_cast<char>(i);
  for (const std::string& d : {std::string("one"), all, std::string("three")}) {
    announce(d);
    std::string got;
    sockaddr_in from;
    ASSERT_TRUE(listener.recv(&got, 2000, &from));
    EXPECT_EQ(d, got);
    EXPECT_EQ(inet_addr(kFar), from.sin_addr.s_addr);
    expect_relayed({&alpha.in}, d);
  }
  EXPECT_TRUE(quiet(listener)) << "relayed more than once";
  EXPECT_TRUE(quiet(alpha.in));
  downstream->signal(SIGTERM);
  EXPECT_EQ(1, downstream->wait_exit());
  quit(*upstream);
}

// With -m the far client hands each announcement to the browsers of its own host by multicast:
// they get it once, it does not come back into the client, and nothing leaves the host.
TEST_F(RelayTest, MulticastCopiesReachBrowsersOnTheClientsHostOnly) {
  FarHost far;
  auto relay = start();
  auto browser = far.udp("224.2.127.254", 9875);  // binds the group, as SAP browsers do
  join(*browser, "0.0.0.0");
  Udp outside(kGroup, 9875);  // joined on the link to the far host only
  join(outside, FarHost::kNearAddr);
  auto client = far.run(kClientPath, {"-m", "relayhost", "farhost"});
  std::string line;
  ASSERT_TRUE(client->next_line(&line));  // its word about 127.0.1.1
  ASSERT_TRUE(client->next_line(&line));
  EXPECT_EQ("registered with relayhost as farhost", line);
  expect_log(*relay, "a new client [farhost]");
  for (const std::string& d : {std::string("\x01\x02"), std::string(2048, 'm')}) {
    announce(d);
    std::string got;
    ASSERT_TRUE(browser->recv(&got));
    EXPECT_EQ(d, got);
    ASSERT_TRUE(client->next_line(&line));
    EXPECT_EQ(std::to_string(d.size()) + " bytes: ", line.substr(0, line.find(':') + 2));
  }
  EXPECT_TRUE(quiet(*browser)) << "a copy came round again";
  EXPECT_FALSE(client->next_line(&line, 300)) << "the client took its own copy: " << line;
  EXPECT_TRUE(quiet(outside, 100)) << "a copy left the client's host";
  client->signal(SIGINT);
  expect_log(*relay, "client [farhost] quit");
  quit(*relay);
}

}  // namespace
