// cache_test.cc -- which cache entries are replayed, in what order, as which datagrams.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "cache.h"

namespace {

class CacheTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vok_cache_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    dirfd_ = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dirfd_, 0);
  }
  void TearDown() override {
    close(dirfd_);
    ASSERT_EQ(0, system(("rm -rf '" + dir_ + "'").c_str()));
  }
  void put(const std::string& name, const std::string& content) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << content;
  }
  // The datagram of an entry, or "<none>".
  std::string datagram(const std::string& name) {
    char out[kCacheDatagramMax];
    const int n = cache_datagram(dirfd_, name.c_str(), out);
    return n < 0 ? "<none>" : std::string(out, static_cast<size_t>(n));
  }

  std::string dir_;
  int dirfd_ = -1;
};

const std::string kHeader(8, '\0');

TEST_F(CacheTest, NamesComeInByteOrderPastListingsAndHiddenFiles) {
  for (const char* name : {"b", "Z", "tmp.dir", "tmp.dir.old", "tmp.e", ".hidden", "a10", "a9"})
    put(name, "n=x\n");
  const std::string long_name(250, 'q');
  put(long_name, "n=x\n");
  EXPECT_EQ((std::vector<std::string>{"Z", "a10", "a9", "b", long_name, "tmp.e"}),
            cache_entry_names(dirfd_));
}

// What the replay test and fuzz_cache do not already show.
TEST_F(CacheTest, EachEntryGivesEightZeroBytesAndItsBodyOrNothing) {
  const struct {
    const char* name;
    std::string content, datagram;
  } entries[] = {
      // A first line far longer than any line buffer is still one line.
      {"long", "n=" + std::string(5000, 'n') + "\nk=\nbody", kHeader + "body"},
      {"short", "n=s", kHeader},  // no second line: "no k=", sent all the same
      {"noname", "k=x\nn=y\nbody", "<none>"},
  };
  testing::internal::CaptureStdout();
  for (const auto& e : entries) {
    put(e.name, e.content);
    EXPECT_EQ(e.datagram, datagram(e.name)) << e.name;
  }
  EXPECT_EQ("no k=\n", testing::internal::GetCapturedStdout());
  ASSERT_EQ(0, symlink("/nonexistent/entry", (dir_ + "/vanished").c_str()));
  for (const char* name : {"vanished", "missing"})
    EXPECT_EQ("<none>", datagram(name)) << name;
}

}  // namespace
