// soft_state_test.cc -- what the relay keeps and forgets: remembered sessions, and when
// refusals mean a client is gone.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "VokListner.h"
#include "sap_datagram.h"
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

TEST(RefusalTest, RefusalsForAMinuteRemoveAndTenSecondsOfQuietSendsForgive) {
  // Each case: a refusal (r), one that removes the client (R) or a datagram sent (s), at second
  // N; c0 makes it the command line's listener.
  for (const char* events : {"r0 s1 r2 s30 r31 s59 R60",  // rate-limited refusals for a minute
                             "r0 s1 r70 r129 R130",  // 10 s of sends without one: counted anew
                             "r0 R61",  // nothing sent between two a minute apart: still gone
                             "c0 r0 r61 r3600"}) {  // it cannot invite itself back: kept
    VokListner::Admission how;
    how.origin = events[0] == 'c' ? how.kCommandLine : how.kInvited;
    std::unique_ptr<VokListner> l(VokListner::make("alpha", 9875, how));
    std::istringstream in(events);
    char what;
    long long at;
    while (in >> what >> at) {
      if (what == 's') {
        l->count_sent(10, at * 1000);
      } else if (what != 'c') {  // c: taken above
        EXPECT_EQ(what == 'R', l->refused(at * 1000)) << events << " at " << at;
      }
    }
  }
}

}  // namespace
