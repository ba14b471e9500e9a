// soft_state_test.cc -- what the relay keeps and forgets: remembered sessions and the
// datagrams relayed lately.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string.h>

#include "sap_datagram.h"
#include "seen.h"
#include "sessions.h"

namespace {

const std::string kSdp = "v=0\r\ns=x\r\n";

// Update, deletion and order reach a new client in the replay test; here what it cannot show.
TEST(SessionsTest, OriginsTellSessionsApartAnHourForgetsAndTheTableStaysBounded) {
  Sessions s;
  auto remember = [&](const std::string& d, long long now) {
    s.remember(d.data(), static_cast<int>(d.size()), now);
  };
  remember(sap_datagram(0x20, 1, "10.0.0.1", kSdp), 1000);
  remember(sap_datagram(0x20, 1, "10.0.0.2", kSdp), 2000);  // same hash, another origin
  EXPECT_EQ(2u, s.live(2000).size());
  EXPECT_EQ(1u, s.live(1000 + Sessions::kForgetMs).size()) << "an hour unannounced is forgotten";
  for (int i = 0; i < Sessions::kMax + 10; ++i)
    remember(sap_datagram(0x20, static_cast<uint16_t>(100 + i), "10.0.0.3", kSdp), 3000 + i);
  const std::vector<SessionKey> live = s.live(4000);
  ASSERT_EQ(static_cast<size_t>(Sessions::kMax), live.size());
  EXPECT_EQ(100 + Sessions::kMax + 9, live.front().hash);
  EXPECT_EQ(110, live.back().hash) << "the least recently announced went first";
}

// Each row: datagrams (by letter) from senders (by number: 1 and 2 at port 5000, 6 and 7 at
// port 6012) at times (ms), and whether each is taken for one seen ('!') or relayed ('.').
TEST(SeenTest, CopiesComeBackOnceWhoeverSentFirstAndNothingIsForgottenWithinTheWindow) {
  const uint64_t key[2] = {1, 2};
  // Two datagrams of 16 bytes that an unkeyed multiply-and-shift hash takes for the same.
  std::string x(16, 'x'), y = x;
  y[7] ^= '\x80';
  y[15] ^= '\x80';
  y[11] ^= '\x80';
  const struct {
    const char* events;  // "A1@0." : datagram A from sender 1 at 0 ms, relayed
  } rows[] = {
      {"A1@0. A6@5! A2@6! A1@7. A6@8!"},  // copies dropped; its announcer repeating relayed
      {"A6@0. A6@5! A7@6!"},  // a first sender forged as another relay's port 6012
      {"A1@0. A2@1999! A2@2000. A6@3999!"},  // two seconds, counted from the last relayed
      {"X1@0. Y2@1."},  // made to collide without the key
  };
  for (const auto& row : rows) {
    Seen seen(key);
    std::istringstream in(row.events);
    for (std::string e; in >> e;) {
      const std::string data = e[0] == 'X' ? x : e[0] == 'Y' ? y : std::string(100, e[0]);
      const int who = e[1] - '0';
      sockaddr_in from = {};
      from.sin_addr.s_addr = htonl(0x0a000000u + static_cast<uint32_t>(who));
      from.sin_port = htons(who >= 6 ? 6012 : 5000);
      EXPECT_EQ(e.back() == '!', seen.again(data.data(), static_cast<int>(data.size()), from,
                                            atoll(e.c_str() + 3)))
          << row.events << ": " << e;
    }
  }
  // A full ring of others within the window forgets nothing; one more makes the oldest go.
  Seen seen(key);
  sockaddr_in first = {}, other = {};
  first.sin_port = htons(5000);
  other.sin_port = htons(6012);
  EXPECT_FALSE(seen.again("old", 3, first, 0));
  for (int i = 1; i < Seen::kRing; ++i)
    EXPECT_FALSE(seen.again(reinterpret_cast<const char*>(&i), sizeof i, first, 1));
  EXPECT_TRUE(seen.again("old", 3, other, 2)) << "forgotten inside its window";
  for (int i = 0; i < 2; ++i)
    EXPECT_FALSE(seen.again(reinterpret_cast<const char*>(&i), 2, first, 3));
  EXPECT_FALSE(seen.again("old", 3, other, 4)) << "the oldest of a burst beyond the ring";
}

}  // namespace
