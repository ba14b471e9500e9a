// registry_test.cc -- control requests: their words and names, the networks allowed to make
// them and each source's budget.
#include <arpa/inet.h>

#include <string>

#include <gtest/gtest.h>

#include "VokListner.h"
#include "access.h"
#include "common/protocol.h"
#include "local_addrs.h"

namespace {

TEST(RequestTest, SplitsTwoWordsAndRefusesWhatCannotBeActedOnWhole) {
  const std::string w31(31, 'w'), w32(32, 'w');
  const std::string long_name = "Invite_vok_relay " + w32;
  const std::string long_cmd = w32 + " alpha";
  const std::string fits = w31 + " " + w31;
  const struct {
    const char* text;
    bool ok;
    const char *cmd, *name;
  } cases[] = {
      {"Invite_vok_relay alpha", true, "Invite_vok_relay", "alpha"},
      {" \t\nStop_vok_relay\t\r\n beta\n", true, "Stop_vok_relay", "beta"},
      {"Invite_vok_relay alpha and more words", true, "Invite_vok_relay", "alpha"},
      {"\v\fx y\f", true, "x", "y"},
      {fits.c_str(), true, w31.c_str(), w31.c_str()},
      {"", false, "", ""},
      {" \n ", false, "", ""},
      {"Invite_vok_relay", false, "", ""},
      {long_name.c_str(), false, "", ""},
      {long_cmd.c_str(), false, "", ""},
      {"Invite_vok_relay al\x1bpha", false, "", ""},  // names go into the log as they are
      {"Invite_vok_relay al\x7fpha", false, "", ""},
      {"Invite_vok_relay caf\xc3\xa9", false, "", ""},
  };
  // A name no request can carry is no listener's either: never cut to fit, as it would be
  // another host's.
  EXPECT_EQ(nullptr, VokListner::make(w32.c_str(), 7000));
  for (const auto& c : cases) {
    Request r;
    ASSERT_EQ(c.ok, parse_request(c.text, &r)) << '"' << c.text << '"';
    if (c.ok) {
      EXPECT_STREQ(c.cmd, r.cmd);
      EXPECT_STREQ(c.name, r.name);
    }
  }
}

TEST(AccessTest, NetworksTakeAddressesWithinTheirLengthAndEachSourceHasItsBudget) {
  const LocalAddrs none{};  // never read: no network is this host's
  const struct {
    const char* net;
    bool ok;
    const char *in = nullptr, *out = nullptr;
  } cases[] = {
      {"10.0.0.0/8", true, "10.255.1.2", "11.0.0.1"},
      {"192.168.1.77/24", true, "192.168.1.1", "192.168.2.1"},  // the host part does not count
      {"10.1.2.3", true, "10.1.2.3", "10.1.2.4"},                // one host
      {"0.0.0.0/0", true, "203.0.113.9", nullptr},
      {"local", true, nullptr, "127.0.0.1"},
      {"10.0.0.0/33", false}, {"10.0.0.0/", false}, {"10.0.0.0/-1", false}, {"10.0/8", false},
      {"10.0.0.0/8x", false}, {"", false}, {"local ", false},
  };
  for (const auto& c : cases) {
    Networks n;
    ASSERT_EQ(c.ok, n.add(c.net)) << c.net;
    EXPECT_TRUE(c.in == nullptr || n.allows(inet_addr(c.in), none)) << c.net;
    EXPECT_TRUE(c.out == nullptr || !n.allows(inet_addr(c.out), none)) << c.net;
  }
  EXPECT_TRUE(Networks().allows(inet_addr("203.0.113.9"), none)) << "none named: anyone";

  // A source asking every millisecond for ten seconds gets its burst, then ten a second.
  Budgets b;
  int taken = 0;
  for (long long t = 1000000; t <= 1010000; ++t)
    taken += b.take(inet_addr("10.0.0.1"), t);
  EXPECT_EQ(Budgets::kBurst + 100, taken);
  EXPECT_TRUE(b.take(inet_addr("10.0.0.2"), 1010000)) << "another source has a budget of its own";
  // One more source than slots, taking turns: those that share a slot share its bucket.
  Budgets shared;
  taken = 0;
  for (int round = 0; round < 30; ++round) {
    for (uint32_t i = 0; i <= Budgets::kSlots; ++i)
      taken += shared.take(htonl(0x0a000000 + i), 1000000);
  }
  EXPECT_GE(Budgets::kSlots * Budgets::kBurst, taken) << "taking turns earned fresh buckets";
}

}  // namespace
