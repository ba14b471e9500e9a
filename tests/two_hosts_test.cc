// two_hosts_test.cc -- the relay and its clients on different hosts: what loopback alone
// hides (ICMP from a client's host, a Debian-style /etc/hosts, relays in a chain, multicast
// that must not leave a host).
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "relay_fixture.h"

namespace {

const char kNear[] = "10.201.0.1", kFar[] = "10.201.0.2";

// The UDP datagrams that cross the near end of a link to a far host (by default the one to
// farhost), either way, from the moment it is made.
class Capture {
 public:
  explicit Capture(const char* link = "vfar0")
      : fd_(socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL))) {
    sockaddr_ll at = {};  // all protocols: a bridge's port passes no other tap what it takes
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = static_cast<int>(if_nametoindex(link));
    const int room = 16 << 20;  // a burst of thousands, read only after it
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
    EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at));
  }
  ~Capture() { close(fd_); }
  // Those seen until none has come for quiet_ms (a storm: 10,000 at most): all, or those to dst;
  // their times-to-live in *ttls, in order, where asked.
  int count(const char* dst = nullptr, int quiet_ms = 300, std::string* ttls = nullptr) const {
    int n = 0;
    unsigned char packet[2048];
    for (int seen = 0; seen < 10000 && readable(fd_, quiet_ms); ++seen) {
      const ssize_t len = recv(fd_, packet, sizeof packet, 0);
      iphdr ip;
      memcpy(&ip, packet, sizeof ip);
      const bool udp = len >= static_cast<ssize_t>(sizeof ip) && ip.version == 4 &&
                       ip.protocol == IPPROTO_UDP && (dst == nullptr || ip.daddr == inet_addr(dst));
      n += udp;
      if (udp && ttls != nullptr)
        *ttls += std::to_string(ip.ttl);
    }
    return n;
  }

 private:
  int fd_;
};

// Tells the relay, as anyone can, that nothing listens at port 9875 of addr: an ICMP port
// unreachable report quoting the IP and UDP headers of what the relay sends there from kNear.
void forge_refusal(const char* addr) {
  unsigned char report[36] = {3, 3, 0, 0, 0, 0, 0, 0, 0x45, 0, 0, 128, 0, 0, 0, 0, 64, IPPROTO_UDP};
  const in_addr_t ends[2] = {inet_addr(kNear), inet_addr(addr)};
  const uint16_t ports[3] = {htons(6012), htons(9875), htons(108)};
  memcpy(report + 20, ends, sizeof ends);
  memcpy(report + 28, ports, sizeof ports);
  uint32_t sum = 0;
  for (size_t i = 0; i < sizeof report; i += 2)
    sum += static_cast<uint32_t>(report[i] << 8 | report[i + 1]);
  sum = (sum & 0xffff) + (sum >> 16);
  sum = ~(sum + (sum >> 16));
  report[2] = static_cast<unsigned char>(sum >> 8);
  report[3] = static_cast<unsigned char>(sum);
  const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  const sockaddr_in to = {AF_INET, 0, {inet_addr(kNear)}, {}};
  EXPECT_EQ(36, sendto(fd, report, sizeof report, 0, reinterpret_cast<const sockaddr*>(&to),
                       sizeof to));
  close(fd);
}

// The far client, with -m, hands each announcement to the browsers of its own host by
// multicast: they get it once, it does not come back into the client, and nothing leaves the
// host. Then, within its keep-alive's minute, the relay restarts having forgotten its
// clients and the far client registers again by itself.
TEST_F(RelayTest, AFarClientFeedsItsHostAndRegistersAgain) {
  FarHost far;
  auto relay = start();
  Udp outside(kGroup, 9875);  // joined on the link to the far host only
  join(outside, kGroup, kNear);
  // The default NAME: this host's name, 127.0.1.1 in its own hosts file.
  auto client = far.run(kClientPath, {"-m", "relayhost"});
  expect_line(*client,
              "vok_client: farhost is 127.0.1.1 here, which relayhost cannot reach: the "
              "relay must resolve farhost to an address of this host (or give one as NAME)");
  expect_line(*client, "registered with relayhost as farhost");
  expect_log(*relay, "a new client [farhost]");
  std::string line;
  announce("alone");  // no browser there: the copy stays on the host all the same
  ASSERT_TRUE(client->next_line(&line));
  EXPECT_TRUE(quiet(outside)) << "a copy left the client's host, where no browser runs";
  auto browser = far.udp("224.2.127.254", 9875);  // binds the group, as SAP browsers do
  join(*browser, kGroup);
  for (const std::string& d : {std::string("\x01\x02"), std::string(2048, 'm')}) {
    announce(d);
    expect_recv(*browser, d);
    ASSERT_TRUE(client->next_line(&line));
    EXPECT_EQ(std::to_string(d.size()) + " bytes: ", line.substr(0, line.find(':') + 2));
  }
  EXPECT_TRUE(quiet(*browser)) << "a copy came round again";
  EXPECT_FALSE(client->next_line(&line, 300)) << "the client took its own copy: " << line;
  EXPECT_TRUE(quiet(outside, 100)) << "a copy left the client's host";
  quit(*relay);

  ASSERT_EQ(0, unlink((home_ + "/.vok/clients").c_str()));
  // Nothing listens at the far host's port 7777: the command line's listener is kept, as it
  // cannot invite itself back.
  relay = start({kFar, "7777"});
  const auto since = std::chrono::steady_clock::now();
  LogLine log_line;
  for (int sent = 0; sent < 800 && log_line.msg != "a new client [farhost]"; ++sent) {
    announce("seq " + std::to_string(sent));
    log_.next(&log_line, 100);
  }
  EXPECT_EQ("a new client [farhost]", log_line.msg);
  expect_line(*client, "registered again with relayhost as farhost", 1000);
  EXPECT_GE(std::chrono::steady_clock::now() - since, std::chrono::seconds(55))
      << "registered again before its minute";
  announce("after");
  bool shown = false;
  while (!shown && client->next_line(&line))
    shown = line == "5 bytes: 6166746572";
  EXPECT_TRUE(shown) << "the far client got nothing after registering again";
  client->signal(SIGHUP);
  expect_log(*relay, "client [farhost] quit");
  quit(*relay);
}

// Whoever can send to port 6012 (here with forged source addresses and ICMP) can neither cut
// a client off nor crowd the clients out; vok_client, on a host with two addresses, keeps its
// place.
TEST_F(RelayTest, StrangersCanNeitherCutOffNorTargetNorCrowdOutAClient) {
  FarHost far("farhost", "vfar", "10.201.0", false);
  // The far host's second address is the one it sends from unless told otherwise.
  EXPECT_EQ(0, far.run("/bin/sh", {"-c", "ip addr add 10.201.0.3/24 dev vfar1 && ip route "
                                         "replace 10.201.0.0/24 dev vfar1 src 10.201.0.3"})
                   ->wait_exit());
  auto relay = start({"-a", "local"});
  auto client = far.run(kClientPath, {"relayhost"});
  expect_line(*client, "registered with relayhost as farhost");
  expect_log(*relay, "a new client [farhost]");
  Client alpha(kHosts[0]), gamma(kHosts[2]);
  admit(*relay, alpha);
  Forged("10.201.0.3").send("Stop_vok_relay farhost");  // the client's host's other address
  Forged("127.0.0.2").send("Stop_vok_relay alpha");    // the client itself
  expect_log(*relay, "client [alpha] quit");
  Forged("10.9.9.2").send("Invite_vok_relay alpha");  // outside this host's networks
  EXPECT_TRUE(log_.drain(100).empty());
  // -a local follows the addresses this host gains.
  Changed gained("ip addr add 10.9.9.1/24 dev vfar0", "ip addr del 10.9.9.1/24 dev vfar0");
  usleep(100000);
  Forged("10.9.9.2").send("Invite_vok_relay alpha");
  expect_log(*relay, "a new client [alpha]");

  // One source floods at full speed: another host is answered at once, and nothing is lost.
  std::atomic<bool> flooding{true};
  std::thread flood([&flooding] {
    const Udp stranger("127.0.0.9", 6012);
    for (int i = 0; i < 2000000 && flooding; ++i)
      stranger.send_to("127.0.0.1", 6012, "Invite_vok_relay farhost");
  });
  usleep(300000);
  EXPECT_EQ("Reply Invite_vok_relay gamma", invite(gamma.control, gamma.name, 200));
  expect_stream(gamma.in, 100);  // a burst that an unprivileged relay's buffer holds too
  flooding = false;
  flood.join();
  expect_log(*relay, "a new client [gamma]");
  EXPECT_TRUE(log_.drain(100).empty()) << "a line for an ignored request";

  // A stranger says, again and again, that nothing listens at the far client: the reports
  // reach the relay and are counted, and the far client, which invited itself, stays.
  for (int i = 0; i < 5; ++i) {
    forge_refusal(kFar);
    usleep(100000);
  }
  relay->signal(SIGUSR1);
  const std::vector<std::string> stats = log_.drain();
  ASSERT_EQ(4u, stats.size());
  EXPECT_EQ("client [farhost] at 10.201.0.2", stats[0].substr(0, 30));
  EXPECT_EQ(5, atoi(stats[0].c_str() + stats[0].find("refusals ") + 9)) << stats[0];
  const std::string counts = stats[3].substr(stats[3].find("requests"));
  EXPECT_EQ("requests admitted 4, refreshed 0, turned down 0, ignored 0, ignored as from outside "
            "the allowed networks 1, over budget ", counts.substr(0, 120));
  EXPECT_LT(10000, atol(counts.c_str() + 120)) << counts;
  EXPECT_NE(std::string::npos, counts.find("; removed as unreachable 0, expired 0;")) << counts;
  quit(*relay);
}

// Links A (an announcer) and B (a browser's host), bridges, and relays on both: each
// announcement reaches each link at most once per relay, and then nothing more, whether two
// relays bridge both ways (with one announcement, one whose first sender is forged as the far
// relay's port 6012, or a burst of a thousand), a chain's far relay re-announces where the
// near one listens, a client copies onto the link it is served on, or relays registered with
// each other in a circle of two or three pass it round. The announcer repeats itself at once
// (every byte value): that is relayed again, but not by a relay fed by another. ffmpeg,
// announcing on A, is found by ffmpeg on a third host of B.
TEST_F(RelayTest, AnnouncementsCrossBetweenLinksOnceAndNeverLoop) {
  FarHost ann("annhost", "vann", "10.210.0", false, "bra", 2);
  FarHost r2host("r2host", "vr2a", "10.210.0", false, "bra", 3);
  r2host.add_link("vr2b", "10.211.0", "brb", 3);
  FarHost bhost("bhost", "vbh", "10.211.0", false, "brb", 4);
  FarHost rxhost("rxhost", "vrx", "10.211.0", false, "brb", 5);
  const std::vector<std::string> bridge = {"-i", "vr2a1", "-i", "vr2b1", "-o", "vr2a1", "-o",
                                           "vr2b1"};
  enum Sent { kTwice, kForged, kBurst };  // the datagram twice, once forged, or 1,000 once each
  const struct {
    const char* what;
    std::vector<std::string> near, far;  // the relays' options (far: none, it does not run)
    int chain;    // 1: far registered with near (-u, a stranger's unicast to it dropped);
                  // 2: far and near with each other; 3: far with near, a third relay (on
                  // rxhost) with far and near with it
    bool client;  // vok_client -m -t 1 on bhost
    Sent sent;
    int on_a, on_b, heard;  // datagrams on each link (the stranger's on A), what B's browser hears
    const char* dropped;    // the near relay's count of those from listeners and seen
    const char* ttls_b = nullptr;  // the times-to-live on B, in increasing order, where checked
  } rows[] = {
      {"two bridges", {"-o", "bra", "-o", "brb", "-t", "3"}, bridge, 0, false, kTwice, 2, 4, 4,
       "as from a listener 0, as seen 2", "1133"},  // -t: the near relay's copies
      {"a forged first sender", {"-o", "bra", "-o", "brb"}, bridge, 0, false, kForged, 2, 1, 1,
       "as from a listener 0, as seen 1"},
      {"a burst", {"-o", "bra", "-o", "brb"}, bridge, 0, false, kBurst, 1000, 2000, 2000,
       "as from a listener 0, as seen 1000"},
      {"a chain", {}, {"-i", "vr2b1", "-o", "vr2b1", "-u", "relayhost"}, 1, false, kTwice, 3, 1, 1,
       "as from a listener 0, as seen 1"},
      {"a circle", {}, {"-i", "vr2b1"}, 2, false, kTwice, 2, 0, 0,
       "as from a listener 0, as seen 0"},
      {"a circle of three", {}, {"-i", "vr2b1"}, 3, false, kTwice, 2, 0, 0,
       "as from a listener 0, as seen 1"},
      {"a client's copies", {}, {}, 0, true, kTwice, 2, 4, 2, "as from a listener 2, as seen 0"},
  };
  const auto announcer = ann.udp("10.210.0.2", 0);
  const auto forger = ann.udp("10.210.0.3", 6012, true);  // as the far relay on A
  const in_addr ann_link = {inet_addr("10.210.0.2")};  // its own address finds its link
  ASSERT_EQ(0, setsockopt(forger->fd(), IPPROTO_IP, IP_MULTICAST_IF, &ann_link, sizeof ann_link));
  const auto browser = bhost.udp(kGroup, 9875);
  join(*browser, kGroup);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    unlink((home_ + "/.vok/clients").c_str());
    std::vector<std::string> args = {"-i", "bra", "-i", "brb"};
    args.insert(args.end(), row.near.begin(), row.near.end());
    auto relay = start(args, {"224.2.127.254 on bra", "224.2.127.254 on brb"});
    for (size_t i = 1; i < row.near.size(); i += 2)
      if (row.near[i - 1] == "-o")
        expect_log(*relay, "announcing on " + row.near[i]);
    // A relay on another host: it may still be entering that host's network when the ports
    // are first seen bound (those of this one), and it joins its groups once its are bound.
    auto far_relay = [](const FarHost& host, const std::vector<std::string>& args) {
      auto relay = host.run(kRelayPath, args);
      EXPECT_TRUE(relay->wait_ready());
      usleep(200000);
      return relay;
    };
    std::unique_ptr<PipedProcess> far, third, client;
    if (!row.far.empty())
      far = far_relay(r2host, row.far);
    if (row.chain > 1)
      announcer->send_to("10.210.0.1", 6012, "Invite_vok_relay r2host");
    if (row.chain > 0)
      expect_log(*relay, "a new client [r2host]");
    if (row.chain == 2)
      announcer->send_to("10.210.0.3", 6012, "Invite_vok_relay relayhost");
    if (row.chain == 3) {
      third = far_relay(rxhost, {});
      announcer->send_to("10.210.0.3", 6012, "Invite_vok_relay 10.211.0.5");
      Udp("10.211.0.1", 0).send_to("10.211.0.5", 6012, "Invite_vok_relay 10.211.0.1");
      usleep(200000);
    }
    if (row.client) {
      client = bhost.run(kClientPath, {"-m", "-t", "1", "relayhost"});
      expect_line(*client, "registered with relayhost as bhost");
      expect_log(*relay, "a new client [bhost]");
    }
    for (std::string stale; browser->recv(&stale, 200);) {  // the last row's ffmpeg, ending
    }
    const Capture on_a("vann0"), on_b("vbh0");
    const std::string data = row.what + kEveryByte;
    if (row.sent == kBurst) {
      for (int i = 0; i < 1000; ++i)
        announcer->send_to(kGroup, 9875, row.what + std::to_string(i));
    } else {
      (row.sent == kForged ? forger : announcer)->send_to(kGroup, 9875, data);
      if (row.sent == kTwice)
        announcer->send_to(kGroup, 9875, data);
      if (row.chain == 1)  // not the upstream: dropped
        announcer->send_to("10.210.0.3", 9875, row.what + std::string(" from a stranger"));
    }
    int heard = 0;
    for (std::string got; heard < 3 * row.heard + 10 && browser->recv(&got, 1000); ++heard)
      EXPECT_EQ(row.what, got.substr(0, strlen(row.what)));  // a storm ends it
    EXPECT_EQ(row.heard, heard);
    std::string ttls;
    EXPECT_EQ(row.on_b, on_b.count(nullptr, 3000, &ttls));
    std::sort(ttls.begin(), ttls.end());
    EXPECT_TRUE(row.ttls_b == nullptr || ttls == row.ttls_b) << ttls;
    EXPECT_EQ(row.on_a, on_a.count(nullptr, 100));
    relay->signal(SIGUSR1);
    const std::vector<std::string> stats = log_.drain();
    ASSERT_FALSE(stats.empty());
    EXPECT_NE(std::string::npos, stats.back().find(row.dropped)) << stats.back();
    if (row.sent == kTwice && row.heard > 0) {  // ffmpeg, where copies reach B
      const std::string session = "s=" + std::string(row.what) + "\r";
      auto rx = rxhost.run("/usr/bin/ffmpeg", {"-nostdin", "-v", "verbose", "-i", "sap://", "-f",
                                               "null", "-"});
      usleep(500000);
      auto tx = ann.run("/usr/bin/ffmpeg", {"-nostdin", "-v", "error", "-re", "-f", "lavfi", "-i",
                                            "sine", "-t", "2", "-c:a", "pcm_mulaw", "-metadata",
                                            std::string("title=") + row.what, "-f", "sap",
                                            "sap://224.2.200.1:5004"});
      std::string line;
      while (rx->next_line(&line, 4000) && line != session) {
      }
      EXPECT_EQ(session, line);
      EXPECT_EQ(0, tx->wait_exit(5000));
    }
    quit(*relay);  // the far relays and the client go with the row
  }
}

// The relay's host on two links: M (vm0), where announcements are multicast, and U (vfar0), where
// its route for multicast points and its clients are. It listens where it is told, for every
// scope named, follows interfaces that come and go, and serves a far client on U through a second address and a slow link.
TEST_F(RelayTest, ARelayListensWhereItIsToldForEveryScopeNamed) {
  FarHost u;
  FarHost m("mhost", "vm", "10.202.0");
  Changed route("ip route replace 224.0.0.0/4 dev vfar0", "ip route replace 224.0.0.0/4 dev lo");
  auto announcer = m.udp("10.202.0.2", 0);
  const std::string scopes[] = {kGroup, "239.255.255.255", "239.195.255.255"};
  auto announce_each = [&] {
    for (const std::string& g : scopes)
      announcer->send_to(g.c_str(), 9875, "to " + g);
  };
  Client alpha(kHosts[0]);
  auto relay = start({}, {std::string(kGroup) + " on vfar0"});  // the route's choice
  admit(*relay, alpha);
  announce_each();
  EXPECT_TRUE(quiet(alpha.in)) << "joined where announcements are not";
  quit(*relay);

  relay = start({"-i", "vm0", "-g", "239.255.255.255"},
                {std::string(kGroup) + " on vm0", "239.255.255.255 on vm0"});
  expect_log(*relay, "client [alpha] restored");
  announce_each();
  expect_relayed({&alpha.in}, "to " + scopes[0]);
  expect_relayed({&alpha.in}, "to " + scopes[1]);
  EXPECT_TRUE(quiet(alpha.in)) << "a scope not named was relayed";
  // Another program here takes a named group on U: what comes from U is still not relayed.
  Udp other("239.255.255.255", 9875);
  join(other, "239.255.255.255", kNear);
  u.udp(kFar, 0)->send_to("239.255.255.255", 9875, "from U");
  expect_recv(other, "from U");
  EXPECT_TRUE(quiet(alpha.in)) << "relayed from an interface not named";
  relay->signal(SIGUSR1);
  LogLine line;
  ASSERT_TRUE(log_.next(&line) && log_.next(&line));
  EXPECT_EQ("up 0 s: received 2 datagrams (224.2.127.254 1, 239.255.255.255 1), relayed 2",
            line.msg.substr(0, line.msg.find(", dropped")));

  // A far client on U, named latefar (its address on the link), told to use the relay's second
  // address while the relay answers from its first: it waits for the answer and takes what
  // comes. With -m -g it hands its copies to its host's lo,
  // where the route for the group is and the browser joined: nothing of them crosses the link.
  Changed second("ip addr add 10.201.0.9/24 dev vfar0", "ip addr del 10.201.0.9/24 dev vfar0");
  const HostsLine far_name(std::string(kFar) + " latefar", "/tmp/far-hosts.vfar"),
      near_name(std::string(kFar) + " latefar");
  EXPECT_EQ(0, u.run("/bin/sh", {"-c", "ip link set lo multicast on && "
                                         "ip route replace 224.0.0.0/4 dev lo"})->wait_exit());
  auto browser = u.udp("239.255.255.255", 9875);
  join(*browser, "239.255.255.255", "127.0.0.1");
  auto client = u.run(kClientPath, {"-m", "-g", "239.255.255.255", "10.201.0.9", "latefar"});
  expect_log(*relay, "a new client [latefar]");
  // An answer from another address than 10.201.0.9 is taken after 2 s without one from there.
  expect_line(*client, "registered with 10.201.0.9 as latefar", 3000);
  const Capture copies;
  announcer->send_to("239.255.255.255", 9875, "audio");
  expect_line(*client, "5 bytes: 617564696f");  // what came from the relay's first address
  expect_relayed({&alpha.in}, "audio");
  expect_recv(*browser, "audio");
  EXPECT_TRUE(quiet(*browser)) << "a copy came round again";
  EXPECT_EQ(0, copies.count("239.255.255.255")) << "the client's copies left its host";

  // 16 kbit/s to U, and a queue deeper than a send buffer: alpha, here, still gets every
  // datagram, beta is answered, and what the far client cannot get is counted.
  Changed slow("tc qdisc add dev vfar0 root tbf rate 16kbit burst 1600 limit 4000000",
               "tc qdisc del dev vfar0 root");
  Client beta(kHosts[1]);
  expect_stream(alpha.in, 600, 1200, announcer.get());
  const auto asked = std::chrono::steady_clock::now();
  admit(*relay, beta);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
  relay->signal(SIGUSR1);
  ASSERT_TRUE(log_.next(&line) && log_.next(&line));  // alpha's, then latefar's
  const size_t at = line.msg.find("send failures ");
  EXPECT_LT(0, atoi(line.msg.c_str() + at + 14)) << line.msg;
  log_.drain(100);
  client->signal(SIGTERM);
  expect_log(*relay, "client [latefar] quit");
  quit(*relay);  // at once, though the link still holds a queue for the far client

  // Every interface that is up, takes multicast and is not loopback, as they come and go
  // (twenty times: more than a socket may join), and a named one that appears late, down:
  // one rule for where it listens and where it announces.
  relay = start({"-i", "all", "-i", "late0", "-o", "all", "-o", "late0"}, {});
  std::vector<std::string> joined = log_.drain();
  std::sort(joined.begin(), joined.end());
  EXPECT_EQ((std::vector<std::string>{"announcing on vfar0", "announcing on vm0",
                                      "client [alpha] restored", "client [beta] restored",
                                      "joined 224.2.127.254 on vfar0",
                                      "joined 224.2.127.254 on vm0"}),
            joined);
  Changed late("ip link add late0 type veth peer name late1", "ip link del late0");
  for (int i = 0; i < 21; ++i) {
    const std::string link = i < 20 ? "dyn0" : "late0";
    {
      Changed up(i < 20 ? "ip link add dyn0 type veth peer name dyn1 && ip link set dyn0 up"
                        : "ip link set late0 up",
                 i < 20 ? "ip link del dyn0" : "ip link set late0 down");
      expect_log(*relay, "joined 224.2.127.254 on " + link);
      expect_log(*relay, "announcing on " + link);
    }
    expect_log(*relay, "left 224.2.127.254 on " + link);
    expect_log(*relay, "stopped announcing on " + link);
  }
  quit(*relay);
}

}  // namespace
