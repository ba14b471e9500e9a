// registry_test.cc -- admission, removal and order of the listener registry.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EventsDismisser.h"
#include "VokListner.h"

namespace {

class FakeListener : public Listener {
 public:
  explicit FakeListener(const char* id) : id_(id) {}
  void send_msg(int, const char*, int) override {}
  const char* get_id() const override { return id_.c_str(); }

 private:
  std::string id_;
};

// The identities of the registered listeners, in slot order.
std::string ids(const EventsDismisser& ed) {
  std::string all;
  for (int i = 0; i < ed.count(); ++i)
    all += ed.at(i)->get_id();
  return all;
}

TEST(RegistryTest, AdmitsDistinctIdentitiesUpToCapacityInOrderOfAdmission) {
  std::vector<std::unique_ptr<FakeListener>> owned;
  EventsDismisser ed(4);
  auto admit = [&](const char* id) {
    owned.emplace_back(new FakeListener(id));
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

TEST(VokListnerTest, KeepsPrintableNamesOfUpTo31CharactersWholeAndRefusesOthers) {
  const std::string longest(31, 'h');
  std::unique_ptr<VokListner> l(VokListner::make(longest.c_str(), 9875));
  ASSERT_NE(nullptr, l);
  EXPECT_EQ(longest, l->get_id());
  for (const std::string bad : {"", "hhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhh", "al\x1bpha", "al\x7fpha",
                                "caf\xc3\xa9"})
    EXPECT_EQ(nullptr, VokListner::make(bad.c_str(), 9875)) << bad;
}

}  // namespace
