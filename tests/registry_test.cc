// registry_test.cc -- control requests: their words, and the registry of listeners they
// admit to and remove from, in order.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EventsDismisser.h"
#include "VokListner.h"
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
      {"Invite_vok_relay al\x1bpha", false, "", ""},  // names go into the log as they are
      {"Invite_vok_relay al\x7fpha", false, "", ""},
      {"Invite_vok_relay caf\xc3\xa9", false, "", ""},
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


// The identities of the registered listeners, in slot order.
std::string ids(const EventsDismisser& ed) {
  std::string all;
  for (int i = 0; i < ed.count(); ++i)
    all += ed.at(i)->get_id();
  return all;
}

TEST(RegistryTest, AdmitsDistinctIdentitiesUpToCapacityInOrderOfAdmission) {
  std::vector<std::unique_ptr<VokListner>> owned;
  EventsDismisser ed(4);
  auto admit = [&](const char* id) {
    owned.emplace_back(VokListner::make(id, 9875));
    return ed.new_listener(owned.back().get());
  };
  EXPECT_EQ(0, ed.new_listener(nullptr));
  for (const char* id : {"a", "A", "b", "c"})
    EXPECT_EQ(1, admit(id)) << id << " (identities differ in letter case)";
  EXPECT_EQ(0, admit("a")) << "a duplicate";
  EXPECT_EQ(0, admit("e")) << "full";
  Listener* removed = nullptr;
  EXPECT_FALSE(ed.remove_listener("nobody", &removed));
  EXPECT_TRUE(ed.remove_listener("A", &removed));
  EXPECT_STREQ("A", removed->get_id());
  EXPECT_FALSE(ed.remove_listener("A"));
  EXPECT_EQ(1, admit("d")) << "a freed slot";
  EXPECT_EQ("abcd", ids(ed)) << "removal keeps the order; the freed slot goes last";
  for (const char* id : {"d", "a", "c", "b"})
    EXPECT_TRUE(ed.remove_listener(id));
  EXPECT_EQ("", ids(ed));
}

}  // namespace
