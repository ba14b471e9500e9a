// client_test.cc -- vok_client registering with the real relay and showing what it relays.
#include <stdlib.h>

#include <fstream>

#include "relay_fixture.h"

namespace {

const std::string kSdp = "v=0\r\no=bob 1 1 IN IP4 10.0.0.2\r\ns=Talk\r\nc=IN IP4 224.2.1.1/127\r\n";

TEST_F(RelayTest, ClientRegistersShowsCachedAndLiveAnnouncementsAndLeavesOnSignal) {
  ASSERT_EQ(0, system("mkdir -p /tmp/client-home/.vok/cache"));
  std::ofstream("/tmp/client-home/.vok/cache/one") << "n=one\nk=key\n" << kSdp;
  auto relay = start({"-loadcache"}, {"HOME=/tmp/client-home"});
  expect_log(*relay, "enable loading cache");

  PipedProcess alpha({kRelayHost, kHosts[0].name}, kClientPath);
  std::string line;
  ASSERT_TRUE(alpha.next_line(&line));
  EXPECT_EQ("registered with relayhost as alpha", line);
  ASSERT_TRUE(alpha.next_line(&line));
  EXPECT_EQ("cached: s=Talk | o=bob 1 1 IN IP4 10.0.0.2 | c=IN IP4 224.2.1.1/127", line);
  expect_log(*relay, "a new client [alpha]");

  announce(std::string("\x20\x00\xab\xcd\x0a\x00\x00\x02", 8) + kSdp);
  ASSERT_TRUE(alpha.next_line(&line));
  EXPECT_EQ("SAP v1 announce hash 0xabcd from 10.0.0.2: s=Talk | o=bob 1 1 IN IP4 10.0.0.2 | "
            "c=IN IP4 224.2.1.1/127",
            line);
  announce("\x01\x02");
  ASSERT_TRUE(alpha.next_line(&line));
  EXPECT_EQ("2 bytes: 0102", line);

  alpha.signal(SIGTERM);
  EXPECT_EQ(0, alpha.wait_exit());
  expect_log(*relay, "client [alpha] quit");
  quit(*relay);
}

TEST_F(RelayTest, ClientGivesUpWithAClearErrorWhenNoRelayAnswers) {
  PipedProcess beta({"127.0.0.1", kHosts[1].name}, kClientPath);
  EXPECT_EQ(1, beta.wait_exit(5000));
  std::string line;
  EXPECT_FALSE(beta.next_line(&line, 0)) << "claimed a registration: " << line;
}

}  // namespace
