// replay_test.cc -- the daemon priming new clients from a cache directory.
#include <sys/stat.h>

#include "relay_fixture.h"

namespace {

class ReplayTest : public RelayTest {
 protected:
  void SetUp() override {
    RelayTest::SetUp();
    cache_ = home_ + "/.vok/cache";
    ASSERT_EQ(0, system(("mkdir -p " + cache_).c_str()));
  }
  void put(const std::string& name, const std::string& content) {
    std::ofstream(cache_ + "/" + name, std::ios::binary) << content;
  }
  // Writes the cache directory's names, sizes and times to /tmp/listing.WHEN and compares
  // them with /tmp/listing.before: nothing may touch them.
  int listing(const std::string& when) {
    const std::string ls = "ls --time-style=full-iso -l", to = "/tmp/listing." + when;
    return system(("{ " + ls + "d " + cache_ + " && " + ls + "A " + cache_ + "; } > " + to +
                   " && cmp /tmp/listing.before " + to).c_str());
  }

  std::string cache_;
};

const std::string kHeader(8, '\0');

TEST_F(ReplayTest, NewClientGetsReplyThenEachEntryASecondApartThenItsLogLine) {
  put("a", "n=one\nk=key\n" + kEveryByte);
  put("b", "n=two\nk=key\n" + std::string(3000, 'b'));
  put("c", "n=" + std::string(4000, 't') + "\nnot a key\nbody c");  // a long line
  put("d", "n=" + std::string(5000, 't') + "\nk=\nbody d");  // too long to look for its end
  put("tmp.dir", "n=listing\nk=\nlisting");
  put("U", "n=four\nk=\nbody U");  // in byte order, before a
  put("empty", "");
  put("no-n", "x=1\nk=\nbody");
  ASSERT_EQ(0, mkfifo((cache_ + "/fifo").c_str(), 0644));
  ASSERT_EQ(0, mkdir((cache_ + "/dir").c_str(), 0755));
  ASSERT_EQ(0, symlink("/nonexistent", (cache_ + "/vanished").c_str()));
  ASSERT_EQ(0, symlink("a", (cache_ + "/link").c_str()));  // perhaps to another's file
  ASSERT_EQ(0, listing("before"));

  auto relay = start({"-loadcache"});
  LogLine stats;
  const std::string cwd = proc_link(relay->pid(), "cwd");
  relay->signal(SIGUSR1);  // its statistics line comes from the loop: start-up is over
  ASSERT_TRUE(log_.next(&stats));
  const int fds = open_fds(relay->pid());
  Client alpha(kHosts[0]);
  EXPECT_EQ("Reply Invite_vok_relay alpha", invite(alpha.control, alpha.name));
  // Gamma is invited by hand, and its port 6012 refuses the reply: no entry is lost to that.
  Udp gamma(kHosts[2].addr, 9875);
  alpha.control.send_to("127.0.0.1", 6012, "Invite_vok_relay gamma");
  const std::string bodies[] = {"body U", kEveryByte, std::string(2040, 'b'), "body c"};
  long long last = 0;
  for (const std::string& body : bodies) {
    std::string got;
    sockaddr_in from;
    long long stamp = 0;
    ASSERT_TRUE(recv_at(alpha.in, &got, &stamp, &from, 2500)) << "entry not replayed";
    EXPECT_EQ(kHeader + body, got);
    EXPECT_EQ(6012, ntohs(from.sin_port));
    if (last != 0) {
      EXPECT_GT(stamp - last, 950000000LL) << "entries come a second apart";
      EXPECT_LT(stamp - last, 1500000000LL);
    }
    last = stamp;
  }
  EXPECT_FALSE(log_.next(&stats, 0)) << "logged before its replay ended: " << stats.msg;
  expect_log(*relay, "a new client [alpha]");
  expect_log(*relay, "a new client [gamma]");
  for (const std::string& body : bodies)  // none lost to the refusal of gamma's reply
    expect_recv(gamma, kHeader + body, 100);
  EXPECT_TRUE(quiet(alpha.in));
  EXPECT_EQ(0, listing("after")) << "the cache directory was changed";
  EXPECT_EQ(cwd, proc_link(relay->pid(), "cwd"));
  EXPECT_EQ(fds + 2, open_fds(relay->pid())) << "an entry was left open (a client has a socket)";
  quit(*relay);
}

}  // namespace
