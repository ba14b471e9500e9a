// relay_fixture.h -- what the process-level tests share: the daemon run with its log checked,
// client hosts, and the checks that only tests need (receive times, quiet sockets, descriptor
// counts, sanitizer reports, undoing changes to the sandbox).
#ifndef VOK_TESTS_RELAY_FIXTURE_H
#define VOK_TESTS_RELAY_FIXTURE_H

#include <arpa/inet.h>
#include <signal.h>
#include <stdlib.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sandbox.h"

const char kGroup[] = "224.2.127.254";
const char kJoinedLo[] = "224.2.127.254 on lo";  // where the sandbox routes multicast

// Every byte value once, in order.
const std::string kEveryByte = [] {
  std::string s(256, '\0');
  std::iota(s.begin(), s.end(), '\0');
  return s;
}();

// One datagram and the kernel's receive time (ns, one clock for every socket here), or
// false when none arrives within timeout_ms. u must have asked for times (as a Client does).
inline bool recv_at(const Udp& u, std::string* data, long long* stamp_ns,
                    sockaddr_in* from = nullptr, int timeout_ms = 2000) {
  timespec t = {};
  if (!u.recv(data, timeout_ms, from) || ioctl(u.fd(), SIOCGSTAMPNS, &t) < 0)
    return false;
  *stamp_ns = t.tv_sec * 1000000000LL + t.tv_nsec;
  return true;
}

// The next datagram at u is want.
inline void expect_recv(const Udp& u, const std::string& want, int timeout_ms = 2000) {
  std::string got;
  ASSERT_TRUE(u.recv(&got, timeout_ms)) << "nothing came; wanted " << testing::PrintToString(want);
  EXPECT_EQ(want, got);
}

// The next line p writes is want.
inline void expect_line(PipedProcess& p, const std::string& want, int timeout_ms = 3000) {
  std::string line;
  ASSERT_TRUE(p.next_line(&line, timeout_ms)) << "no line; wanted \"" << want << '"';
  EXPECT_EQ(want, line);
}

// True when nothing arrives on u within ms.
inline bool quiet(const Udp& u, int ms = 300) { return !readable(u.fd(), ms); }

inline long open_fds(pid_t pid) {
  const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
  return std::distance(begin(fds), end(fds));
}

// Where /proc/PID/name points.
inline std::string proc_link(pid_t pid, const std::string& name) {
  return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/" + name);
}

inline std::string read_file(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// What a sanitizer reported about any child so far; clears it.
inline std::string sanitizer_report() {
  const std::filesystem::path log(kSanitizerLog);
  std::string report;
  for (const auto& f : std::filesystem::directory_iterator(log.parent_path())) {
    if (f.path().filename().string().rfind(log.filename().string(), 0) == 0) {
      report += read_file(f.path());
      std::filesystem::remove(f.path());
    }
  }
  return report;
}

// Runs a shell command now and its undo when the scope ends, on every path out.
struct Changed {
  Changed(const std::string& change, std::string undo) : undo(std::move(undo)) {
    EXPECT_EQ(0, system(change.c_str())) << change;
  }
  ~Changed() { EXPECT_EQ(0, system(undo.c_str())) << undo; }
  std::string undo;
};

// A line added to a hosts file for the scope's time; the file is as it was after.
struct HostsLine : Changed {
  explicit HostsLine(const std::string& line, const std::string& file = "/etc/hosts")
      : HostsLine(line, file, file + ".before" + std::to_string(++saved)) {}
  HostsLine(const std::string& line, const std::string& file, const std::string& copy)
      : Changed("cp " + file + " " + copy + " && echo '" + line + "' >> " + file,
                "cat " + copy + " > " + file + " && rm " + copy) {}
  static inline int saved = 0;
};

// Joins u to group on the interface with address iface (any: the route's), and to that alone.
inline void join(const Udp& u, const char* group, const char* iface = "0.0.0.0") {
  const int off = 0;
  ASSERT_EQ(0, setsockopt(u.fd(), IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off));
  ip_mreq m = {};
  m.imr_multiaddr.s_addr = inet_addr(group);
  m.imr_interface.s_addr = inet_addr(iface);
  ASSERT_EQ(0, setsockopt(u.fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m));
}

// A client host: its reply socket at 6012 and its announcement socket at 9875.
struct Client {
  explicit Client(const TestHost& h) : name(h.name), control(h.addr, 6012), in(h.addr, 9875) {
    timespec t;
    ioctl(in.fd(), SIOCGSTAMPNS, &t);  // the first asking turns receive times on
  }
  std::string name;
  Udp control, in;
};

// A UDP socket at port 6012 of any address at all, this host's or not (IP_TRANSPARENT): a
// stranger forging another host's requests, or many hosts asking at once.
struct Forged {
  explicit Forged(in_addr_t from) : fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const int on = 1;
    const sockaddr_in at = {AF_INET, htons(6012), {from}, {}};
    EXPECT_TRUE(setsockopt(fd, SOL_IP, IP_TRANSPARENT, &on, sizeof on) == 0 &&
                setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0 &&
                bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0);
  }
  explicit Forged(const char* from) : Forged(inet_addr(from)) {}
  ~Forged() { close(fd); }
  // Sends data to the relay's port 6012.
  void send(const std::string& data) const {
    const sockaddr_in to = {AF_INET, htons(6012), {htonl(INADDR_LOOPBACK)}, {}};
    sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  const int fd;
};

inline void stop(const Udp& client, const std::string& name) {
  client.send_to("127.0.0.1", 6012, "Stop_vok_relay " + name);
}

class RelayTest : public testing::Test {
 protected:
  // A home of the test's own, so that no test restores another's clients.
  void SetUp() override {
    char tmpl[] = "/tmp/home.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    home_ = tmpl;
  }
  void TearDown() override { EXPECT_EQ("", sanitizer_report()); }

  // Starts the relay with HOME the test's home, checks its start line, the cache line where
  // asked for, where it joined, and that its standard descriptors are /dev/null, and waits for
  // its ports.
  std::unique_ptr<Process> start(const std::vector<std::string>& args = {},
                                 const std::vector<std::string>& joined = {kJoinedLo},
                                 std::vector<std::string> env = {}) {
    env.push_back("HOME=" + home_);
    auto relay = std::make_unique<Process>(args, env);
    expect_log(*relay, "vok_relay server start");
    EXPECT_TRUE(relay->wait_ready());
    if (std::find(args.begin(), args.end(), "-loadcache") != args.end())
      expect_log(*relay, "enable loading cache");
    for (const std::string& j : joined)
      expect_log(*relay, "joined " + j);
    for (const char* fd : {"0", "1", "2"})
      EXPECT_EQ("/dev/null", proc_link(relay->pid(), std::string("fd/") + fd)) << fd;
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

  // Each client (a Client's socket, which has receive times) receives exactly data, relayed
  // from port 6012, in the order given.
  void expect_relayed(const std::vector<const Udp*>& clients, const std::string& data) {
    long long last = 0;
    for (const Udp* c : clients) {
      std::string got;
      sockaddr_in from;
      long long stamp = 0;
      ASSERT_TRUE(recv_at(*c, &got, &stamp, &from)) << "nothing relayed";
      EXPECT_EQ(data, got);
      EXPECT_EQ(6012, ntohs(from.sin_port));
      EXPECT_LT(last, stamp) << "relayed out of order of admission";
      last = stamp;
    }
  }

  void announce(const std::string& data) { announcer_.send_to(kGroup, 9875, data); }

  // Announces (from from, else from this host) count numbered datagrams of pad bytes more; c
  // must get all of them, in order.
  void expect_stream(const Udp& c, int count, size_t pad = 0, const Udp* from = nullptr) {
    const std::string padding(pad, 'p');
    for (int i = 0; i < count; ++i)
      (from ? *from : announcer_).send_to(kGroup, 9875, "seq " + std::to_string(i) + padding);
    std::string got;
    for (int i = 0; i < count; ++i) {
      ASSERT_TRUE(c.recv(&got)) << "lost from " << i;
      ASSERT_EQ("seq " + std::to_string(i) + padding, got);
    }
  }

  static constexpr int kUserDebug = 8 | 7;  // LOG_USER, LOG_DEBUG
  std::string home_;
  LogSink log_;
  Udp announcer_{"127.0.0.1", 0};
};

#endif
