// registry_test.cc -- admission, removal and fan-out order of the listener registry.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EventsDismisser.h"
#include "VokListner.h"

namespace {

// Records every send into a log shared by all fakes, so order across listeners shows.
class FakeListener : public Listener {
 public:
  FakeListener(const char* id, std::string* log) : id_(id), log_(log) {}
  void send_msg(int fd, const char* msg, int len) override {
    *log_ += id_ + "@" + std::to_string(fd) + ":" + std::string(msg, len) + " ";
  }
  const char* get_id() const override { return id_.c_str(); }

 private:
  std::string id_, *log_;
};

TEST(RegistryTest, AdmitsDistinctIdentitiesUpToCapacityAndSendsInOrderOfAdmission) {
  std::string log;
  std::vector<std::unique_ptr<FakeListener>> owned;
  EventsDismisser ed(4, 7);
  auto admit = [&](const char* id) {
    owned.emplace_back(new FakeListener(id, &log));
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
  ed.send_event("x", 1);
  EXPECT_EQ("a@7:x b@7:x c@7:x d@7:x ", log);
  for (const char* id : {"a", "b", "c", "d"})
    EXPECT_TRUE(ed.remove_listener(id));
  log.clear();
  ed.send_event("x", 1);
  EXPECT_EQ("", log) << "an empty registry sends nothing";
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
