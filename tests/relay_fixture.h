// relay_fixture.h -- a test fixture that runs the daemon and checks its log and its clients.
#ifndef VOK_TESTS_RELAY_FIXTURE_H
#define VOK_TESTS_RELAY_FIXTURE_H

#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sandbox.h"

const char kGroup[] = "224.2.127.254";

// A client host: its reply socket at 6012 and its announcement socket at 9875.
struct Client {
  explicit Client(const TestHost& h) : name(h.name), control(h.addr, 6012), in(h.addr, 9875) {}
  std::string name;
  Udp control, in;
};

class RelayTest : public testing::Test {
 protected:
  // A home of the test's own, so that no test restores another's clients.
  void SetUp() override {
    char tmpl[] = "/tmp/home.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    home_ = tmpl;
  }
  void TearDown() override { EXPECT_EQ("", Process::sanitizer_report()); }

  // Starts the relay (with HOME the test's home unless env sets one), checks
  // its start line and waits until its ports are bound.
  std::unique_ptr<Process> start(const std::vector<std::string>& args = {},
                                 std::vector<std::string> env = {}) {
    bool home = false;
    for (const std::string& e : env)
      home = home || e.compare(0, 5, "HOME=") == 0;
    if (!home)
      env.push_back("HOME=" + home_);
    auto relay = std::make_unique<Process>(args, env);
    expect_log(*relay, "vok_relay server start");
    EXPECT_TRUE(relay->wait_ready());
    // No trace line or error text can ever land in a socket or the log.
    for (int fd = 0; fd <= 2; ++fd) {
      char target[64] = {};
      const std::string link =
          "/proc/" + std::to_string(relay->pid()) + "/fd/" + std::to_string(fd);
      EXPECT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
      EXPECT_STREQ("/dev/null", target) << "descriptor " << fd;
    }
    return relay;
  }

  // The next log line is msg, from the relay, with its identity and priority.
  void expect_log(const Process& relay, const std::string& msg) {
    LogLine line;
    ASSERT_TRUE(log_.next(&line)) << "no log line; wanted \"" << msg << '"';
    EXPECT_EQ(msg, line.msg);
    EXPECT_EQ(kUserDebug, line.priority);
    EXPECT_EQ("tavi-K", line.ident);
    EXPECT_EQ(relay.pid(), line.pid);
  }

  // Invites the client; the relay must answer it and log it.
  void admit(const Process& relay, const Client& c) {
    EXPECT_EQ("Reply Invite_vok_relay " + c.name, invite(c.control, c.name));
    expect_log(relay, "a new client [" + c.name + "]");
  }

  void quit(Process& relay, int sig = SIGTERM) {
    relay.signal(sig);
    expect_log(relay, "vok_relay server quit");
    EXPECT_EQ(1, relay.wait_exit(1000));
  }

  // Each client receives exactly data, relayed from port 6012, in the order given.
  void expect_relayed(const std::vector<const Udp*>& clients, const std::string& data) {
    long long last = 0;
    for (const Udp* c : clients) {
      std::string got;
      sockaddr_in from;
      long long stamp = 0;
      ASSERT_TRUE(c->recv(&got, 2000, &from, &stamp)) << "nothing relayed";
      EXPECT_EQ(data, got);
      EXPECT_EQ(6012, ntohs(from.sin_port));
      EXPECT_LT(last, stamp) << "relayed out of order of admission";
      last = stamp;
    }
  }

  void announce(const std::string& data) { announcer_.send_to(kGroup, 9875, data); }

  static constexpr int kUserDebug = 8 | 7;  // LOG_USER, LOG_DEBUG
  std::string home_;
  LogSink log_;
  Udp announcer_{"127.0.0.1", 0};
};


#endif
