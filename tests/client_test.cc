// client_test.cc -- vok_client registering with the real relay and showing what it relays.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

#include "relay_fixture.h"

namespace {

class ClientTest : public RelayTest {
 protected:
  // Runs vok_client with args, its output readable line by line.
  std::unique_ptr<Process> client(const std::vector<std::string>& args, int* out_fd) {
    int out[2];
    EXPECT_EQ(0, pipe2(out, O_CLOEXEC));
    auto c = std::make_unique<Process>(args, std::vector<std::string>{}, out[1], kClientPath);
    close(out[1]);
    *out_fd = out[0];
    return c;
  }
};

const std::string kSdp = "v=0\r\no=bob 1 1 IN IP4 10.0.0.2\r\ns=Talk\r\nc=IN IP4 224.2.1.1/127\r\n";

TEST_F(ClientTest, RegistersShowsCachedAndLiveAnnouncementsAndLeavesOnSignal) {
  ASSERT_EQ(0, system("mkdir -p /tmp/client-home/.vok/cache"));
  std::ofstream("/tmp/client-home/.vok/cache/one") << "n=one\nk=key\n" << kSdp;
  auto relay = start({"-loadcache"}, {"HOME=/tmp/client-home"});
  expect_log(*relay, "enable loading cache");

  int out;
  auto alpha = client({kRelayHost, kHosts[0].name}, &out);
  LineReader lines(out);
  std::string line;
  ASSERT_TRUE(lines.next(&line));
  EXPECT_EQ("registered with relayhost as alpha", line);
  ASSERT_TRUE(lines.next(&line));
  EXPECT_EQ("cached: s=Talk | o=bob 1 1 IN IP4 10.0.0.2 | c=IN IP4 224.2.1.1/127", line);
  expect_log(*relay, "a new client [alpha]");

  announce(std::string("\x20\x00\xab\xcd\x0a\x00\x00\x02", 8) + kSdp);
  ASSERT_TRUE(lines.next(&line));
  EXPECT_EQ("SAP v1 announce hash 0xabcd from 10.0.0.2: s=Talk | o=bob 1 1 IN IP4 10.0.0.2 | "
            "c=IN IP4 224.2.1.1/127",
            line);
  announce("\x01\x02");
  ASSERT_TRUE(lines.next(&line));
  EXPECT_EQ("2 bytes: 0102", line);

  alpha->signal(SIGTERM);
  EXPECT_EQ(0, alpha->wait_exit());
  expect_log(*relay, "client [alpha] quit");
  close(out);
  quit(*relay);
}

TEST_F(ClientTest, GivesUpWithAClearErrorWhenNoRelayAnswers) {
  int out;
  auto beta = client({"127.0.0.1", kHosts[1].name}, &out);
  EXPECT_EQ(1, beta->wait_exit(5000));
  close(out);
}

}  // namespace
