// soak_test.cc -- a paced stream to four listeners while the request port is flooded;
// VOK_SOAK_SECONDS sets how long (8 by default).
#include <time.h>

#include <random>

#include "relay_fixture.h"

namespace {

// Requests of every kind but those that would stop the listeners that must stay.
std::string flood_request(std::mt19937& random, int i) {
  static const char* const fixed[] = {
      "Invite_vok_relay delta", "Stop_vok_relay delta",        "Invite_vok_relay epsilon",
      "Stop_vok_relay epsilon", "Invite_vok_relay alpha",      "Invite_vok_relay",
      "",                       "Stop_vok_relay nobody",       "Invite_vok_relay nosuchhost",
      "Stop_vok_relay nosuchhost"};
  switch (i % 13) {
    case 10:
      return "Invite_vok_relay " + std::string(200, 'n');
    case 11:
      return std::string(3000, 'x');
    case 12: {
      std::string junk(std::uniform_int_distribution<>(1, 64)(random), '\0');
      for (char& c : junk)
        c = static_cast<char>(random());
      return junk;
    }
    default:
      return fixed[i % 13];
  }
}

TEST_F(RelayTest, PacedStreamReachesEveryStayingListenerUnderARequestFlood) {
  const char* env = getenv("VOK_SOAK_SECONDS");
  const int seconds = env != nullptr ? atoi(env) : 8, rate = 1000, total = seconds * rate;
  auto relay = start();
  std::vector<std::unique_ptr<Client>> c;
  for (int i = 0; i < 4; ++i) {
    c.push_back(std::make_unique<Client>(kHosts[i]));
    ASSERT_NE("", invite(c[i]->control, c[i]->name));
  }
  Udp flooder("127.0.0.9", 0);
  std::mt19937 random(6012);
  std::vector<int> next(3, 0);  // the number each staying listener must get next
  auto drain = [&](int wait_ms) {
    std::string got;
    for (int i = 0; i < 3; ++i) {
      while (next[i] < total && c[i]->in.recv(&got, wait_ms)) {
        ASSERT_EQ("seq " + std::to_string(next[i]), got) << c[i]->name;
        ++next[i];
      }
    }
    while (c[3]->in.recv(&got, 0) || c[3]->control.recv(&got, 0)) {
    }
    log_.drain(0);
  };
  // Descriptors are counted while idle: a lookup in flight holds one for a moment.
  drain(100);
  const int before_fds = open_fds(relay->pid());
  long before_kb = 0;
  int flooded = 0;
  timespec tick;
  clock_gettime(CLOCK_MONOTONIC, &tick);
  for (int seq = 0; seq < total; ++seq) {
    tick.tv_nsec += 1000000000L / rate;
    if (tick.tv_nsec >= 1000000000L) {
      tick.tv_nsec -= 1000000000L;
      ++tick.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr);
    announce("seq " + std::to_string(seq));
    for (int k = 0; k < 3; ++k)
      flooder.send_to("127.0.0.1", 6012, flood_request(random, flooded++));
    if (seq % 50 == 0)
      drain(0);
    if (seq == rate)  // after a second of warm-up: resolver threads and their arenas exist
      before_kb = resident_kb(relay->pid());
  }
  drain(2000);  // the rest, each within a deadline
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(total, next[i]) << c[i]->name << " missed announcements";
  stop(c[3]->control, "delta");
  drain(100);
  log_.drain(100);
  EXPECT_EQ(before_fds, open_fds(relay->pid()));
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's quarantine holds freed memory on purpose
  // Room for resolver threads started later (a stack and an arena each, up to eight).
  EXPECT_LE(resident_kb(relay->pid()) - before_kb, 512) << "kilobytes grown";
#endif
  printf("soak: %d announcements to 3 staying listeners, %d flood requests, RSS %ld -> %ld kB,"
         " descriptors %d -> %d\n",
         total, flooded, before_kb, resident_kb(relay->pid()), before_fds, open_fds(relay->pid()));
  quit(*relay);
}

}  // namespace
