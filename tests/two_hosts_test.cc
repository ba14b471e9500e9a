// two_hosts_test.cc -- the relay and its clients on different hosts: what only a second host
// shows (ICMP from a client's host).
#include "far_host.h"
#include "relay_fixture.h"

namespace {

TEST_F(RelayTest, AClientGoneFromAnotherHostIsRemovedWhileALiveOneIsKept) {
  FarHost far;  // nothing listens there: its port 9875 refuses, rate-limited as hosts do
  auto relay = start();
  Client alpha(kHosts[0]), beta(kHosts[1]), gamma(kHosts[2]), delta(kHosts[3]);
  admit(*relay, alpha);
  alpha.control.send_to("127.0.0.1", 6012, std::string("Invite_vok_relay ") + FarHost::kFarAddr);
  expect_log(*relay, std::string("a new client [") + FarHost::kFarAddr + "]");
  admit(*relay, beta);
  admit(*relay, gamma);
  EXPECT_EQ("", invite(delta.control, delta.name, 200)) << "four are registered";

  LogLine line;
  int sent = 0;
  bool removed = false;
  const int rate = 10, limit = 75 * rate;  // a minute of refusals, and some room
  for (; sent < limit && !removed; ++sent) {
    announce("seq " + std::to_string(sent));
    removed = log_.next(&line, 1000 / rate);
  }
  ASSERT_TRUE(removed) << "not removed after " << sent << " announcements";
  EXPECT_EQ(std::string("client [") + FarHost::kFarAddr + "] unreachable, removed", line.msg);
  EXPECT_GE(sent, 60 * rate) << "removed before a minute of refusals";
  for (int i = 0; i < sent; ++i) {
    std::string got;
    ASSERT_TRUE(alpha.in.recv(&got, 100)) << "the live client lost " << i;
    ASSERT_EQ("seq " + std::to_string(i), got);
  }
  admit(*relay, delta);
  quit(*relay);
}

}  // namespace
