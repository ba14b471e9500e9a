// client_test.cc -- vok_client registering with the real relay, showing what it relays,
// leaving as it should (the two-host test ends it by signals), and failing clearly.
#include "relay_fixture.h"

namespace {

TEST_F(RelayTest, ClientRegistersShowsOnlyWhatTheRelaySendsAndStopsOnceAsItEnds) {
  auto relay = start();
  PipedProcess alpha({kRelayHost, kHosts[0].name}, kClientPath);
  expect_line(alpha, "registered with relayhost as alpha");
  expect_log(*relay, "a new client [alpha]");
  // Only the relay's datagrams are shown: not another port's, nor those of a stranger's port
  // 6012, whose forged answer is not taken for the relay's.
  Udp stranger(kHosts[3].addr, 0), forger(kHosts[3].addr, 6012);
  stranger.send_to(kHosts[0].addr, 9875, "not from the relay");
  forger.send_to(kHosts[0].addr, 6012, "Reply Invite_vok_relay alpha");
  forger.send_to(kHosts[0].addr, 9875, "forged");
  announce("\x01\x02");
  expect_line(alpha, "2 bytes: 0102");

  // Its port is its own: a second client for the same address fails at once, saying so.
  PipedProcess twin({kRelayHost, kHosts[0].name}, kClientPath);
  EXPECT_EQ(1, twin.wait_exit());
  expect_line(twin, "vok_client: UDP port 6012 of 127.0.0.2 is taken: another vok_client or a "
                   "relay runs here (give another NAME)");
  announce("\x03");
  expect_line(alpha, "1 bytes: 03");  // the twin took nothing from it
  EXPECT_TRUE(log_.drain().empty()) << "the twin unregistered alpha";
  // A reader that goes away (as "| head -n 1" does) ends it as a signal does: one Stop.
  alpha.close_output();
  announce("to nobody");
  EXPECT_EQ(0, alpha.wait_exit());
  expect_log(*relay, "client [alpha] quit");
  EXPECT_TRUE(log_.drain().empty()) << "a stop sent twice";
  quit(*relay);
}

TEST_F(RelayTest, ClientFailuresAreOneClearLine) {
  // 127.99.0.0/16 has no route: a relay there cannot be reached at all.
  Changed route("ip route replace unreachable 127.99.0.0/16 table local",
                "ip route del unreachable 127.99.0.0/16 table local");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string line;
    int held = 0;  // a socket holds exactly alpha's address and this port, sharing allowed
    int within_ms = 27000;
  } cases[] = {
      {{"127.0.0.1", "beta"}, 1,
       "vok_client: no reply from 127.0.0.1 to 13 invitations for beta in 25 s: the relay is "
       "down, full (four clients), or beta is registered already"},
      {{"127.0.0.8", "beta"}, 1,  // a host with no relay refuses at once
       "vok_client: nothing answers at 127.0.0.8 port 6012: is vok_relay running there?", 0, 2000},
      {{"nosuchrelay", "beta"}, 1, "vok_client: cannot resolve nosuchrelay"},
      {{"127.99.0.1", "beta"}, 1, "vok_client: cannot reach 127.99.0.1: No route to host"},
      {{"127.0.0.1", "be\x1bta"}, 2,
       "vok_client: NAME must be one word of 1 to 31 printable characters: \"be\x1bta\""},
      {{"127.0.0.1", "beta", "more"}, 2,
       "vok_client: usage: vok_client [-m [-g GROUP] [-i IFACE] [-t TTL]] RELAY-HOST [NAME]"},
      {{"-t", "1", "127.0.0.1"}, 2, "vok_client: -i and -t say where the copies of -m go: give -m"},
      {{"-m", "-t", "0", "127.0.0.1"}, 2, "vok_client: -t 0: not a time-to-live from 1 to 255"},
      {{"-m", "-g", "10.0.0.1", "127.0.0.1"}, 2,
       "vok_client: -g 10.0.0.1: not a multicast IPv4 address"},
      {{"127.0.0.1", "127.0.0.1"}, 1,
       "vok_client: 127.0.0.1 is the relay's own address: give this client an address of its own "
       "as NAME"},
      {{"127.0.0.1", "alpha"}, 1, "vok_client: cannot bind UDP port 9875 of 127.0.0.2", 9875},
      // Not this host's: all addresses, which a relay here holds one of.
      {{"127.0.0.1", "10.1.2.3"}, 1,
       "vok_client: UDP port 6012 of 0.0.0.0 is taken: another vok_client or a relay runs here "
       "(give another NAME)"},
  };
  Udp relay("127.0.0.1", 6012);  // takes requests and answers none
  for (const auto& c : cases) {
    std::unique_ptr<Udp> holder;
    if (c.held != 0)
      holder = std::make_unique<Udp>(kHosts[0].addr, c.held);
    PipedProcess client(c.args, kClientPath);
    EXPECT_EQ(c.status, client.wait_exit(c.within_ms)) << c.line;
    expect_line(client, c.line);
    std::string line;
    EXPECT_FALSE(client.next_line(&line, 0)) << "more than one line: " << line;
  }
  // The one that gave up invited every 2 s, began afresh once after 12 s (a reply may have
  // been lost), and stopped as it left.
  std::string heard, request;
  while (relay.recv(&request, 100))
    heard += request == "Invite_vok_relay beta" ? 'I'
             : request == "Stop_vok_relay beta"  ? 'S'
                                                 : '?';
  EXPECT_EQ("IIIIIISIIIIIIIS", heard);
}

}  // namespace
