// request_test.cc -- splitting control requests into keyword and host name.
#include <string>

#include <gtest/gtest.h>

#include "EventsDismisser.h"
#include "request.h"

namespace {

struct Case {
  const char* text;
  bool ok;
  const char* cmd;
  const char* name;
};

TEST(RequestTest, SplitsTwoWordsAndRefusesWhatCannotBeActedOnWhole) {
  const std::string w31(31, 'w'), w32(32, 'w');
  const std::string long_name = "Invite_vok_relay " + w32;
  const std::string long_cmd = w32 + " alpha";
  const std::string fits = w31 + " " + w31;
  const Case cases[] = {
      {"Invite_vok_relay alpha", true, "Invite_vok_relay", "alpha"},
      {" \t\nStop_vok_relay\t\r\n beta\n", true, "Stop_vok_relay", "beta"},
      {"Invite_vok_relay alpha and more words", true, "Invite_vok_relay", "alpha"},
      {"\v\fx y\f", true, "x", "y"},
      {fits.c_str(), true, w31.c_str(), w31.c_str()},
      {"", false, "", ""},
      {" \n ", false, "", ""},
      {"Invite_vok_relay", false, "", ""},
      {"Invite_vok_relay   \n", false, "", ""},
      {long_name.c_str(), false, "", ""},
      {long_cmd.c_str(), false, "", ""},
  };
  for (const Case& c : cases) {
    Request r;
    ASSERT_EQ(c.ok, parse_request(c.text, &r)) << '"' << c.text << '"';
    if (c.ok) {
      EXPECT_STREQ(c.cmd, r.cmd);
      EXPECT_STREQ(c.name, r.name);
    }
  }
}

TEST(RequestTest, ApplyAdmitsUpToCapacityAndRemovesOnlyWhatItAdmitted) {
  EventsDismisser ed(4, -1);
  Request r;
  const struct {
    const char* text;
    RequestResult result;
  } steps[] = {
      {"Invite_vok_relay a", RequestResult::kAdmitted},
      {"Invite_vok_relay a", RequestResult::kIgnored},
      {"Reply Invite_vok_relay b", RequestResult::kIgnored},
      {"Invite_vok_relay hhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhx", RequestResult::kIgnored},
      {"Invite_vok_relay b", RequestResult::kAdmitted},
      {"Invite_vok_relay c", RequestResult::kAdmitted},
      {"Invite_vok_relay d", RequestResult::kAdmitted},
      {"Invite_vok_relay e", RequestResult::kIgnored},
      {"Stop_vok_relay e", RequestResult::kIgnored},
      {"Stop_vok_relay b", RequestResult::kRemoved},
      {"Stop_vok_relay b", RequestResult::kIgnored},
      {"Invite_vok_relay e", RequestResult::kAdmitted},
  };
  for (const auto& step : steps)
    EXPECT_EQ(step.result, apply_request(step.text, ed, 9875, &r)) << step.text;
  const char* order[] = {"a", "c", "d", "e"};
  ASSERT_EQ(4, ed.count());
  for (int i = 0; i < 4; ++i)
    EXPECT_STREQ(order[i], ed.at(i)->get_id());
  for (const char* id : order) {
    const std::string stop = std::string("Stop_vok_relay ") + id;
    EXPECT_EQ(RequestResult::kRemoved, apply_request(stop.c_str(), ed, 9875, &r));
  }
}

}  // namespace
