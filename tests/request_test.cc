// request_test.cc -- splitting control requests into keyword and host name.
#include <string>

#include <gtest/gtest.h>

#include "common/protocol.h"

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
  };
  for (const auto& c : cases) {
    Request r;
    ASSERT_EQ(c.ok, parse_request(c.text, &r)) << '"' << c.text << '"';
    if (c.ok) {
      EXPECT_STREQ(c.cmd, r.cmd);
      EXPECT_STREQ(c.name, r.name);
    }
  }
}

}  // namespace
