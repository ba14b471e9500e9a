// vok_bench.cc -- vok_relay side by side with a minimal C relay of the same design, in a
// private network: throughput, loss, CPU time and latency; then vok_relay's memory, writes,
// allocations, and what name resolution costs it.
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.h"

#if !defined(VOK_BASELINE_PATH) || !defined(VOK_PLAIN_PATH)
#error "VOK_BASELINE_PATH and VOK_PLAIN_PATH name the relays compared with vok_relay"
#endif

namespace {

const char* const kQuads[4] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
const char* const kHostNames[4] = {"alpha", "beta", "gamma", "delta"};
const char* const kDnsNames[4] = {"a.bench.test", "b.bench.test", "c.bench.test", "d.bench.test"};

long long now_ns(clockid_t clock = CLOCK_REALTIME) {
  timespec t;
  clock_gettime(clock, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

void pin(pid_t pid, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(pid, sizeof set, &set);
}

// Nanoseconds a process's main thread has run.
long long cpu_ns(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  long long ns = 0;
  in >> ns;
  return ns;
}

// A field of /proc/PID/io ("syscw:" is the count of write system calls).
long long proc_io(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/io");
  std::string k;
  long long v = -1;
  while (in >> k >> v) {
    if (k == key)
      return v;
  }
  return -1;
}

// Four receivers at 127.0.0.2-5:9875 that count what they get and, when asked, one-way
// latencies: kernel receive time minus the send time carried in the payload.
class Receivers {
 public:
  Receivers() {
    for (int i = 0; i < 4; ++i) {
      udp_[i] = std::make_unique<Udp>(kQuads[i], 9875);
      const int room = 256 << 20, on = 1;
      setsockopt(udp_[i]->fd(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
      setsockopt(udp_[i]->fd(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    }
    thread_ = std::thread(&Receivers::run, this);
  }
  ~Receivers() {
    stop_ = true;
    thread_.join();
  }
  void reset(bool latency) {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& c : count_)
      c = 0;
    latencies_.clear();
    measure_ = latency;
  }
  // Waits until nothing has arrived for quiet_ms; the receive time of the last datagram.
  long long settle(int quiet_ms = 300) {
    long long seen = -1;
    for (;;) {
      const long long total = count(0) + count(1) + count(2) + count(3);
      if (total == seen)
        return last_rx_;
      seen = total;
      usleep(static_cast<useconds_t>(quiet_ms) * 1000);
    }
  }
  long count(int i) const { return count_[i]; }
  double average() const { return (count(0) + count(1) + count(2) + count(3)) / 4.0; }
  std::vector<long long> latencies() {
    std::lock_guard<std::mutex> lock(mu_);
    return latencies_;
  }

 private:
  void run() {
    const int kBatch = 64;
    static char bufs[kBatch][2048];
    alignas(cmsghdr) static char controls[kBatch][CMSG_SPACE(sizeof(timespec))];
    mmsghdr msgs[kBatch];
    iovec iovs[kBatch];
    pollfd fds[4];
    for (int i = 0; i < 4; ++i)
      fds[i] = {udp_[i]->fd(), POLLIN, 0};
    while (!stop_) {
      if (poll(fds, 4, 20) <= 0)
        continue;
      for (int i = 0; i < 4; ++i) {
        if (!(fds[i].revents & POLLIN))
          continue;
        for (int k = 0; k < kBatch; ++k) {
          iovs[k] = {bufs[k], sizeof bufs[k]};
          msgs[k].msg_hdr = {};
          msgs[k].msg_hdr.msg_iov = &iovs[k];
          msgs[k].msg_hdr.msg_iovlen = 1;
          msgs[k].msg_hdr.msg_control = controls[k];
          msgs[k].msg_hdr.msg_controllen = sizeof controls[k];
        }
        const int n = recvmmsg(fds[i].fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0)
          continue;
        std::lock_guard<std::mutex> lock(mu_);
        for (int k = 0; k < n; ++k) {
          long long rx = 0;
          for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[k].msg_hdr); c != nullptr;
               c = CMSG_NXTHDR(&msgs[k].msg_hdr, c)) {
            timespec t;
            memcpy(&t, CMSG_DATA(c), sizeof t);
            rx = t.tv_sec * 1000000000LL + t.tv_nsec;
          }
          last_rx_ = rx;
          long long tx = 0;
          if (measure_ && msgs[k].msg_len >= 8)
            memcpy(&tx, bufs[k], sizeof tx);
          if (tx != 0)  // replayed cache entries start with zeros
            latencies_.push_back(rx - tx);
        }
        count_[i] += n;
      }
    }
  }

  std::unique_ptr<Udp> udp_[4];
  std::atomic<long> count_[4] = {};
  std::atomic<long long> last_rx_{0};
  std::atomic<bool> stop_{false};
  bool measure_ = false;
  std::mutex mu_;
  std::vector<long long> latencies_;
  std::thread thread_;
};

// Sends to the group from one socket; each payload starts with its send time.
class Sender {
 public:
  Sender() : udp_("127.0.0.1", 0) {
    group_.sin_family = AF_INET;
    group_.sin_addr.s_addr = inet_addr("224.2.127.254");
    group_.sin_port = htons(9875);
  }
  void send(std::string& payload) {
    const long long tx = now_ns();
    memcpy(&payload[0], &tx, sizeof tx);
    send_as_is(payload);
  }
  void send_as_is(const std::string& payload) {
    sendto(udp_.fd(), payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&group_),
           sizeof group_);
  }
  // n copies of payload as fast as the sender can: 64 per system call, so that the relay,
  // not the sender, is what limits the rate.
  void flood(const std::string& payload, long n) {
    const int kBatch = 64;
    iovec iov = {const_cast<char*>(payload.data()), payload.size()};
    mmsghdr msgs[kBatch] = {};
    for (mmsghdr& m : msgs) {
      m.msg_hdr.msg_name = &group_;
      m.msg_hdr.msg_namelen = sizeof group_;
      m.msg_hdr.msg_iov = &iov;
      m.msg_hdr.msg_iovlen = 1;
    }
    for (long sent = 0; sent < n;) {
      const int r = sendmmsg(udp_.fd(), msgs, static_cast<unsigned>(std::min<long>(kBatch, n - sent)), 0);
      sent += r > 0 ? r : 1;
    }
  }

 private:
  Udp udp_;
  sockaddr_in group_ = {};
};

struct Result {
  std::string relay, kase;
  int rep;
  double rate, loss, cpu_us, p50_us, p99_us;
};

// The relays compared: vok_relay, a plain forwarder and the select-loop baseline.
enum Kind { kVok, kPlain, kBaseline };
const char* const kKindNames[] = {"vok_relay", "plain", "baseline"};

// The relay under test with its listeners (the first invited of them for vok_relay), pinned
// to CPU 0.
std::unique_ptr<Process> start_relay(Kind kind, const char* const names[4],
                                     const char* program = nullptr,
                                     std::vector<std::string> args = {}, int wait_ms = 3000,
                                     const std::vector<std::string>& env = {}, int invited = 4) {
  std::unique_ptr<Process> relay;
  if (kind != kVok) {
    relay = std::make_unique<Process>(std::vector<std::string>(kQuads, kQuads + 4),
                                      std::vector<std::string>{}, -1,
                                      kind == kPlain ? VOK_PLAIN_PATH : VOK_BASELINE_PATH);
  } else {
    relay = std::make_unique<Process>(args, env, -1, program);
  }
  pin(relay->pid(), 0);
  if (!relay->wait_ready(wait_ms)) {
    fprintf(stderr, "vok_bench: the relay did not start\n");
    exit(1);
  }
  for (int i = 0; kind == kVok && i < invited; ++i) {
    Udp control(kQuads[i], 6012);
    if (invite(control, names[i], wait_ms).empty()) {
      fprintf(stderr, "vok_bench: no reply to the invitation of %s\n", names[i]);
      exit(1);
    }
  }
  return relay;
}

void stop_relay(std::unique_ptr<Process>& relay, int wait_ms = 3000) {
  relay->signal(SIGTERM);
  relay->wait_exit(wait_ms);
  relay.reset();
}

double percentile(std::vector<long long> v, double p) {
  if (v.empty())
    return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * (v.size() - 1))] / 1000.0;
}

Result blast(pid_t pid, Receivers& rx, Sender& tx, int size, long n) {
  rx.reset(false);
  std::string payload(static_cast<size_t>(size), 'b');
  const long long cpu0 = cpu_ns(pid), first = now_ns();
  tx.flood(payload, n);
  const long long last = rx.settle();
  const double got = rx.average();
  return {"",          "blast " + std::to_string(size),
          0,           got / ((last - first) / 1e9),
          1 - got / n, (cpu_ns(pid) - cpu0) / 1e3 / std::max(got, 1.0),
          0,           0};
}

Result paced(pid_t pid, Receivers& rx, Sender& tx, int rate, int seconds) {
  rx.reset(true);
  std::string payload(256, 'p');
  const long n = static_cast<long>(rate) * seconds;
  const long long cpu0 = cpu_ns(pid), start = now_ns(CLOCK_MONOTONIC);
  for (long i = 0; i < n; ++i) {
    const long long due = start + i * 1000000000LL / rate;
    while (now_ns(CLOCK_MONOTONIC) < due) {
    }
    tx.send(payload);
  }
  rx.settle();
  const double got = rx.average();
  const std::vector<long long> lat = rx.latencies();
  return {"",
          "paced " + std::to_string(rate) + "/s",
          0,
          got / seconds,
          1 - got / n,
          (cpu_ns(pid) - cpu0) / 1e3 / std::max(got, 1.0),
          percentile(lat, 0.5),
          percentile(lat, 0.99)};
}

Result burst(pid_t pid, Receivers& rx, Sender& tx, long n) {
  Result r = blast(pid, rx, tx, 1024, n);
  r.kase = "burst " + std::to_string(n);
  return r;
}

// Relays total datagrams of 64 bytes in chunks the relay can take whole; what it relayed.
long relay_steadily(Receivers& rx, Sender& tx, long total, int chunk, int wait_ms) {
  rx.reset(false);
  std::string payload(64, 's');
  long sent = 0;
  while (sent < total) {
    for (int i = 0; i < chunk && sent < total; ++i, ++sent)
      tx.send(payload);
    const long long end = now_ns(CLOCK_MONOTONIC) + wait_ms * 1000000LL;
    while (rx.count(0) < sent && now_ns(CLOCK_MONOTONIC) < end)
      usleep(200);
  }
  rx.settle(100);
  return rx.count(0);
}

std::string median_table(const std::vector<Result>& rows, std::vector<std::string>* csv) {
  std::map<std::string, std::map<std::string, std::vector<Result>>> by;  // case -> relay
  std::vector<std::string> order;
  for (const Result& r : rows) {
    if (by.find(r.kase) == by.end())
      order.push_back(r.kase);
    by[r.kase][r.relay].push_back(r);
  }
  auto median = [](std::vector<Result> v, double Result::*field) {
    std::sort(v.begin(), v.end(),
              [&](const Result& a, const Result& b) { return a.*field < b.*field; });
    return v.empty() ? 0.0 : v[v.size() / 2].*field;
  };
  std::ostringstream t;
  char line[512];
  t << "| case | relay | datagrams/s per listener | loss | CPU us/datagram | latency p50 us | "
       "latency p99 us |\n|---|---|---|---|---|---|---|\n";
  for (const std::string& k : order) {
    for (const char* relay : kKindNames) {
      const auto& v = by[k][relay];
      snprintf(line, sizeof line, "| %s | %s | %.0f | %.2f%% | %.2f | %.1f | %.1f |\n", k.c_str(),
               relay, median(v, &Result::rate), 100 * median(v, &Result::loss),
               median(v, &Result::cpu_us), median(v, &Result::p50_us), median(v, &Result::p99_us));
      t << line;
    }
    const auto& a = by[k]["vok_relay"];
    for (const char* other : {"plain", "baseline"}) {
      const auto& b = by[k][other];
      auto ratio = [&](double Result::*field) {
        return median(b, field) > 0 ? median(a, field) / median(b, field) : 0;
      };
      snprintf(line, sizeof line, "| %s | **/ %s** | **%.3f** | | %.3f | %.3f | %.3f |\n",
               k.c_str(), other, ratio(&Result::rate), ratio(&Result::cpu_us),
               ratio(&Result::p50_us), ratio(&Result::p99_us));
      t << line;
    }
    const auto& p = by[k]["plain"];
    snprintf(line, sizeof line, "\"%s\",%.0f,%.0f,%.0f,%.2f,%.2f", k.c_str(),
             median(a, &Result::rate), median(p, &Result::rate),
             median(by[k]["baseline"], &Result::rate), median(a, &Result::p99_us),
             median(p, &Result::p99_us));
    csv->push_back(line);
  }
  return t.str();
}

// dnsmasq answering the bench names with the listeners' addresses; null where it is missing.
std::unique_ptr<Process> start_dns() {
  if (access("/usr/sbin/dnsmasq", X_OK) != 0)
    return nullptr;
  std::vector<std::string> args = {
      "--keep-in-foreground",    "--no-resolv", "--no-hosts",   "--listen-address=127.0.0.1",
      "--bind-interfaces",       "--user=root", "--group=root", "--pid-file=",
      "--log-facility=/dev/null"};
  for (int i = 0; i < 4; ++i)
    args.push_back(std::string("--address=/") + kDnsNames[i] + "/" + kQuads[i]);
  auto dns = std::make_unique<Process>(args, std::vector<std::string>{}, -1, "/usr/sbin/dnsmasq");
  pin(dns->pid(), 1);
  for (int i = 0; i < 100; ++i) {
    if (gethostbyname(kDnsNames[3]) != nullptr)
      return dns;
    usleep(30000);
  }
  fprintf(stderr, "vok_bench: dnsmasq did not answer\n");
  return nullptr;
}

// Heap allocations vok_relay makes while relaying n datagrams, counted by valgrind.
long valgrind_allocs(Receivers& rx, Sender& tx, long n) {
  const std::string log = "/tmp/valgrind-" + std::to_string(n) + ".log";
  auto relay = start_relay(kVok, kQuads, "/usr/bin/valgrind",
                           {"--tool=memcheck", "--log-file=" + log, kRelayPath}, 30000);
  relay_steadily(rx, tx, n, 500, 2000);
  stop_relay(relay, 30000);
  std::ifstream in(log);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t at = text.find("total heap usage: ");
  return at == std::string::npos ? -1 : atol(text.c_str() + at + 18);
}

}  // namespace

int main(int argc, char** argv) {
  int reps = 9;
  bool extras_only = false;  // keep the last table; measure vok_relay's own figures again
  bool quick = false;
  std::string out = "bench/results";
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--reps") == 0 && i + 1 < argc)
      reps = atoi(argv[++i]);
    else if (strcmp(argv[i], "--extras-only") == 0)
      extras_only = true;
    else if (strcmp(argv[i], "--quick") == 0)
      quick = true;
    else if (strcmp(argv[i], "--out") == 0 && i + 1 < argc)
      out = argv[++i];
  }
  mkdir(out.c_str(), 0755);
  std::string why;
  if (!enter_sandbox(&why)) {
    fprintf(stderr, "vok_bench: cannot build its private network: %s\n", why.c_str());
    return 1;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  pin(0, 1);  // the load and the receivers on CPU 1, the relay on CPU 0
  // A second link for -o, whose far end takes the copies and drops them.
  if (system("ip link add vbench0 type veth peer name vbench1 && ip link set vbench0 up && "
             "ip link set vbench1 up") != 0)
    die("the -o link");
  LogSink log;
  Receivers rx;
  Sender tx;
  const long blast_n = quick ? 20000 : 200000;
  const int paced_s = quick ? 1 : 5;

  if (!extras_only) {
    std::vector<Result> rows;
    std::ofstream raw(out + "/raw.csv");
    raw << "relay,rep,case,datagrams_per_s_per_listener,loss,cpu_us_per_datagram,p50_us,p99_us\n";
    for (int rep = 1; rep <= reps; ++rep) {
      for (Kind kind : {kVok, kPlain, kBaseline}) {
        auto relay = start_relay(kind, kQuads);
        const pid_t pid = relay->pid();
        std::vector<Result> got = {blast(pid, rx, tx, 64, blast_n), blast(pid, rx, tx, 512, blast_n),
                                   blast(pid, rx, tx, 1400, blast_n),
                                   paced(pid, rx, tx, 20000, paced_s), burst(pid, rx, tx, 2000)};
        stop_relay(relay);
        // vok_relay also multicasting each datagram onto another link (-o); the others as
        // before, for the cost of it.
        relay = start_relay(kind, kQuads, nullptr, {"-o", "vbench0"});
        got.push_back(blast(relay->pid(), rx, tx, 512, blast_n));
        got.back().kase = "blast 512 -o";
        stop_relay(relay);
        log.drain(0);
        for (Result& r : got) {
          r.relay = kKindNames[kind];
          r.rep = rep;
          char line[256];
          snprintf(line, sizeof line, "%s,%d,%s,%.0f,%.5f,%.3f,%.1f,%.1f", r.relay.c_str(), rep,
                   r.kase.c_str(), r.rate, r.loss, r.cpu_us, r.p50_us, r.p99_us);
          raw << line << "\n";
          printf("  %s\n", line);
          rows.push_back(r);
        }
      }
    }
    std::vector<std::string> medians;
    const std::string table = median_table(rows, &medians);
    std::ofstream(out + "/table.md") << table;
    std::ofstream m(out + "/medians.csv");
    m << "case,vok_relay,plain,baseline,vok_p99,plain_p99\n";
    for (const std::string& line : medians)
      m << line << "\n";
    printf("\nMedians of %d runs each, vok_relay, plain and baseline in turn:\n\n%s\n", reps,
           table.c_str());
  }

  std::ostringstream extras;
  char line[256];
  {  // memory and trace writes
    auto relay = start_relay(kVok, kQuads);
    const pid_t pid = relay->pid();
    const long idle_kb = resident_kb(pid);
    const long long writes0 = proc_io(pid, "syscw:");
    const long total = quick ? 100000 : 1000000;
    const long relayed = relay_steadily(rx, tx, total, 1500, 1000);
    snprintf(line, sizeof line,
             "resident memory: %ld kB idle with 4 listeners, %ld kB after relaying %ld datagrams\n"
             "write system calls: %lld for %ld datagrams (%ld trace lines)\n",
             idle_kb, resident_kb(pid), relayed, proc_io(pid, "syscw:") - writes0, relayed,
             relayed * 4);
    extras << line;
    stop_relay(relay);
  }
  {  // the cost of name resolution, per listener naming
    auto dns = start_dns();
    const struct {
      const char* how;
      const char* const* names;
    } namings[] = {
        {"dotted quads", kQuads}, {"/etc/hosts names", kHostNames}, {"DNS names", kDnsNames}};
    // Taken in turn, the medians of reps runs each: a single run is within ~15% noise.
    std::map<std::string, std::vector<double>> cpu;
    for (int rep = 0; rep < reps; ++rep) {
      for (const auto& n : namings) {
        if (n.names == kDnsNames && dns == nullptr)
          continue;
        auto relay = start_relay(kVok, n.names);
        cpu[n.how].push_back(blast(relay->pid(), rx, tx, 64, quick ? 5000 : 50000).cpu_us);
        stop_relay(relay);
      }
    }
    for (const auto& n : namings) {
      std::vector<double>& v = cpu[n.how];
      if (v.empty())
        continue;
      std::sort(v.begin(), v.end());
      snprintf(line, sizeof line, "listeners by %s: %.2f us CPU per datagram (%.3f of quads')\n",
               n.how, v[v.size() / 2], v[v.size() / 2] / cpu["dotted quads"][v.size() / 2]);
      extras << line;
    }
    if (dns != nullptr) {
      // Three listeners by address; the fourth's name waits on a name server that stopped.
      auto relay = start_relay(kVok, kQuads, nullptr, {}, 3000, {}, 3);
      dns->signal(SIGSTOP);
      Udp control(kQuads[3], 6012);
      control.send_to("127.0.0.1", 6012, std::string("Invite_vok_relay ") + kDnsNames[3]);
      usleep(100000);
      paced(relay->pid(), rx, tx, 1000, 2);
      const std::vector<long long> lat = rx.latencies();
      snprintf(line, sizeof line,
               "DNS server stops answering during a lookup: the other listeners' announcements "
               "p99 %.0f us, at most %.0f us\n",
               percentile(lat, 0.99), percentile(lat, 1.0));
      extras << line;
      dns->signal(SIGKILL);
      dns->wait_exit();
      stop_relay(relay);
    }
  }
  {  // memory with the session table full: 2 KB announcements of 256 sessions, then 1000 more
    auto relay = start_relay(kVok, kQuads, nullptr, {"-loadcache"}, 3000, {"HOME=/tmp"}, 0);
    const long idle_kb = resident_kb(relay->pid());
    auto announce_sessions = [&](int first, int count) {
      for (int i = first; i < first + count; ++i) {
        std::string sap = {0x20, 0, static_cast<char>(i >> 8), static_cast<char>(i), 10, 0, 0, 1};
        sap += "v=0\r\ns=session " + std::to_string(i) + "\r\n";
        sap.resize(2048, 'x');
        tx.send_as_is(sap);
        usleep(100);
      }
      usleep(200000);
      return resident_kb(relay->pid());
    };
    const long full_kb = announce_sessions(0, 256), more_kb = announce_sessions(256, 1000);
    snprintf(line, sizeof line,
             "resident memory with -loadcache: %ld kB idle, %ld kB with 256 sessions of 2 KB "
             "remembered, %ld kB after 1000 more\n",
             idle_kb, full_kb, more_kb);
    extras << line;
    stop_relay(relay);
  }
  {  // a 10-entry replay running for two new clients
    const std::string home = "/tmp/bench-home";
    system(("mkdir -p " + home + "/.vok/cache").c_str());
    for (int i = 0; i < 10; ++i)
      std::ofstream(home + "/.vok/cache/entry" + std::to_string(i))
          << "n=s" << i << "\nk=\nv=0\r\ns=cached session " << i << "\r\n";
    auto relay = start_relay(kVok, kQuads, nullptr, {"-loadcache"}, 3000, {"HOME=" + home}, 2);
    Udp control(kQuads[2], 6012);
    const long long asked = now_ns(CLOCK_MONOTONIC);
    const bool answered = !invite(control, kQuads[2], 1000).empty();
    const double reply_ms = (now_ns(CLOCK_MONOTONIC) - asked) / 1e6;
    paced(relay->pid(), rx, tx, 1000, 2);
    const std::vector<long long> lat = rx.latencies();
    snprintf(line, sizeof line,
             "10-entry replays running: another host's reply %s in %.2f ms; announcements "
             "p99 %.0f us, at most %.0f us\n",
             answered ? "came" : "did not come", reply_ms, percentile(lat, 0.99),
             percentile(lat, 1.0));
    extras << line;
    stop_relay(relay);
  }
  if (access("/usr/bin/valgrind", X_OK) == 0) {
    const long n = quick ? 10000 : 100000;
    const long base = valgrind_allocs(rx, tx, 0), loaded = valgrind_allocs(rx, tx, n);
    snprintf(line, sizeof line,
             "heap allocations: %ld with no datagram, %ld after %ld datagrams "
             "(%.4f per datagram)\n",
             base, loaded, n, static_cast<double>(loaded - base) / n);
    extras << line;
  }
  std::ofstream(out + "/extras.txt") << extras.str();
  printf("%s", extras.str().c_str());
  log.drain(0);
  return 0;
}
