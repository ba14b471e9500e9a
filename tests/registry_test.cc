// registry_test.cc -- admission, removal and fan-out order of the listener registry.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EventsDismisser.h"
#include "VokListner.h"

namespace {

// Records every send into a log shared by all fakes, so order across listeners shows.
class FakeListener : public Listener {
 public:
  FakeListener(const char* id, std::vector<std::string>* log) : id_(id), log_(log) {}
  void send_msg(int fd, const char* msg, int len) override {
    log_->push_back(id_ + "@" + std::to_string(fd) + ":" + std::string(msg, len));
  }
  const char* get_id() const override { return id_.c_str(); }

 private:
  std::string id_;
  std::vector<std::string>* log_;
};

class RegistryTest : public testing::Test {
 protected:
  FakeListener* make(const char* id) {
    owned_.emplace_back(new FakeListener(id, &log_));
    return owned_.back().get();
  }
  std::vector<std::string> relay(const char* msg) {
    log_.clear();
    ed_.send_event(msg, static_cast<int>(strlen(msg)));
    return log_;
  }

  std::vector<std::string> log_;
  std::vector<std::unique_ptr<FakeListener>> owned_;
  EventsDismisser ed_{4, 7};
};

TEST_F(RegistryTest, RefusesNullAndDuplicatesAndRemovesTheLastAndOnlyConsistently) {
  EXPECT_TRUE(relay("x").empty()) << "an empty registry sends nothing";
  EXPECT_EQ(0, ed_.new_listener(nullptr));
  EXPECT_EQ(1, ed_.new_listener(make("a")));
  EXPECT_EQ(0, ed_.new_listener(make("a")));
  EXPECT_EQ(1, ed_.new_listener(make("A"))) << "identities differ in letter case";
  EXPECT_FALSE(ed_.remove_listener("nobody"));
  EXPECT_TRUE(ed_.remove_listener("A"));
  EXPECT_FALSE(ed_.remove_listener("A"));
  EXPECT_EQ((std::vector<std::string>{"a@7:x"}), relay("x"));
  EXPECT_TRUE(ed_.remove_listener("a"));
  EXPECT_TRUE(relay("x").empty());
  for (const char* id : {"c", "d", "e", "f"})
    EXPECT_EQ(1, ed_.new_listener(make(id))) << "freed slots are usable again";
}

TEST(VokListnerTest, KeepsPrintableNamesOfUpTo31CharactersWholeAndRefusesOthers) {
  const std::string longest(31, 'h');
  std::unique_ptr<VokListner> l(VokListner::make(longest.c_str(), 9875));
  ASSERT_NE(nullptr, l);
  EXPECT_EQ(longest, l->get_id());
  for (const char* bad : {"", "hhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhh", "al\x1bpha", "caf\xc3\xa9"})
    EXPECT_EQ(nullptr, VokListner::make(bad, 9875)) << bad;
}

}  // namespace
