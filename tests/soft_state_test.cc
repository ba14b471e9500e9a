// soft_state_test.cc -- what the relay keeps and forgets: remembered sessions, and when
// refusals mean a client is gone.
#include <arpa/inet.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "VokListner.h"
#include "sessions.h"

namespace {

// A SAP datagram: flags byte, authentication length, hash, IPv4 origin, payload.
std::string sap(uint8_t flags, uint16_t hash, const char* origin, const std::string& payload,
                uint8_t auth_words = 0) {
  std::string d = {static_cast<char>(flags), static_cast<char>(auth_words),
                   static_cast<char>(hash >> 8), static_cast<char>(hash & 0xff)};
  const in_addr_t a = inet_addr(origin);
  d.append(reinterpret_cast<const char*>(&a), 4);
  return d + std::string(4 * auth_words, 'A') + payload;
}

const std::string kSdp = "v=0\r\ns=x\r\n";
const std::string kTyped = std::string("application/sdp") + '\0' + kSdp;

TEST(SessionsTest, SapHeadersThatAreRememberedAndThoseThatAreNot) {
  const std::string v6 = std::string("\x30\x00\x00\x07", 4) + std::string(16, '\x01') + kSdp;
  const struct {
    std::string datagram;
    SapKind kind;
  } cases[] = {
      {sap(0x20, 1, "10.0.0.1", kSdp), SapKind::kAnnounce},
      {sap(0x20, 1, "10.0.0.1", kTyped), SapKind::kAnnounce},
      {sap(0x20, 1, "10.0.0.1", kSdp, 2), SapKind::kAnnounce},  // authentication skipped
      {v6, SapKind::kAnnounce},
      {sap(0x24, 1, "10.0.0.1", ""), SapKind::kDelete},
      {sap(0x40, 1, "10.0.0.1", kSdp), SapKind::kNotSap},  // version 2
      {sap(0x22, 1, "10.0.0.1", kSdp), SapKind::kNotSap},  // encrypted
      {sap(0x20, 1, "10.0.0.1", "text/plain" + std::string(1, '\0') + kSdp), SapKind::kNotSap},
      {sap(0x20, 1, "10.0.0.1", kSdp, 200).substr(0, 100), SapKind::kNotSap},  // cut short
      {std::string(8, '\0') + kSdp, SapKind::kNotSap},  // a replayed cache entry
  };
  for (const auto& c : cases) {
    SessionKey key;
    EXPECT_EQ(c.kind, sap_key(c.datagram.data(), static_cast<int>(c.datagram.size()), &key))
        << testing::PrintToString(c.datagram);
  }
}

// Update, deletion and order reach a new client in the replay test; here what it cannot show.
TEST(SessionsTest, OriginsTellSessionsApartAnHourForgetsAndTheTableStaysBounded) {
  Sessions s;
  auto remember = [&](const std::string& d, long long now) {
    s.remember(d.data(), static_cast<int>(d.size()), now);
  };
  remember(sap(0x20, 1, "10.0.0.1", kSdp), 1000);
  remember(sap(0x20, 1, "10.0.0.2", kSdp), 2000);  // same hash, other origin: another session
  EXPECT_EQ(2u, s.live(2000).size());
  EXPECT_EQ(1u, s.live(1000 + Sessions::kForgetMs).size()) << "an hour unannounced is forgotten";
  for (int i = 0; i < Sessions::kMax + 10; ++i)
    remember(sap(0x20, static_cast<uint16_t>(100 + i), "10.0.0.3", kSdp), 3000 + i);
  const std::vector<SessionKey> live = s.live(4000);
  ASSERT_EQ(static_cast<size_t>(Sessions::kMax), live.size());
  EXPECT_EQ(100 + Sessions::kMax + 9, live.front().hash);
  EXPECT_EQ(110, live.back().hash) << "the least recently announced went first";
}

TEST(RefusalTest, RefusalsForAMinuteRemoveAndTenSecondsOfQuietSendsForgive) {
  const long long s = 1000;
  struct Event {
    char what;  // 'r' refusal, 's' datagram sent
    long long at;
    bool removed;
  };
  const std::vector<std::vector<Event>> cases = {
      // Rate-limited refusals for a minute: removed at the first one after 60 s.
      {{'r', 0, false}, {'s', 1 * s, false}, {'r', 2 * s, false}, {'s', 30 * s, false},
       {'r', 31 * s, false}, {'s', 59 * s, false}, {'r', 60 * s, true}},
      // Restarted within the minute: 10 s of sends without a refusal start the count again.
      {{'r', 0, false}, {'s', 1 * s, false}, {'r', 70 * s, false}, {'r', 129 * s, false},
       {'r', 130 * s, true}},
      // Nothing sent between two refusals a minute apart: still gone.
      {{'r', 0, false}, {'r', 61 * s, true}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    std::unique_ptr<VokListner> l(VokListner::make("alpha", 9875));
    for (const Event& e : cases[i]) {
      if (e.what == 's') {
        l->count_relayed(10, e.at);
      } else {
        EXPECT_EQ(e.removed, l->refused(e.at)) << "case " << i << " at " << e.at;
      }
    }
  }
}

}  // namespace
