// net_test.cc -- the network module over real sockets in the test sandbox.
#include <arpa/inet.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "sandbox.h"
#include "interpose.h"
#include "network/memory.h"
#include "network/net.h"

namespace {

// Number of descriptors this process has open.
int own_fds() { return open_fds(getpid()); }

// fd, with reads that give up after a second instead of hanging the test.
int bounded(int fd) {
  const timeval limit = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

TEST(NetTest, GroupSocketTakesGroupAndUnicastDatagramsCutToTheBuffer) {
  const int fd = bounded(net_open("224.2.127.254", 9875, 16));
  ASSERT_GE(fd, 0);
  const int again = net_open("224.2.127.254", 9875, 16);
  EXPECT_GE(again, 0) << "address reuse lets a second socket share the port";
  close(again);
  unsigned char ttl = 0;
  socklen_t len = sizeof ttl;
  ASSERT_EQ(0, getsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len));
  EXPECT_EQ(16, ttl);

  Udp sender("127.0.0.1", 0);
  char buf[4096];
  ASSERT_TRUE(sender.send_to("224.2.127.254", 9875, "to the group"));
  EXPECT_EQ(12, net_read_buf(fd, buf, 2048));
  ASSERT_TRUE(sender.send_to(kHosts[3].addr, 9875, std::string(3000, 'u')));
  sockaddr_in from;
  EXPECT_EQ(2048, net_read_buf_from(fd, buf, 2048, &from));
  EXPECT_EQ(inet_addr("127.0.0.1"), from.sin_addr.s_addr);
  close(fd);
}

TEST(NetTest, UnicastAndUnresolvableGroupsBindTheirPortWithoutJoining) {
  for (const char* group : {static_cast<const char*>(nullptr), "nosuchgroup"}) {
    const int fd = bounded(net_open(group, 6012, 0));
    ASSERT_GE(fd, 0);
    Udp sender("127.0.0.1", 0);
    char buf[64];
    ASSERT_TRUE(sender.send_to("224.2.127.254", 6012, "group"));
    ASSERT_TRUE(sender.send_to("127.0.0.1", 6012, "unicast"));
    EXPECT_EQ(7, net_read_buf(fd, buf, sizeof buf)) << "only the unicast datagram arrives";
    close(fd);
  }
}

TEST(NetTest, FailedBindReturnsMinusOneAndLeaksNoDescriptor) {
  Udp holder("0.0.0.0", 7001, false);
  const int before = own_fds();
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(-1, net_open("224.2.127.254", 7001, 16));
    ASSERT_EQ(-1, net_open_noloopback("224.2.127.254", 7001, 16));
  }
  EXPECT_EQ(before, own_fds());
}

TEST(NetTest, WriteSendsFromItsSocketAndNeverToAnUnresolvedName) {
  const int fd = net_open(nullptr, 6012, 0);
  ASSERT_GE(fd, 0);
  Udp alpha(kHosts[0].addr, 9875), anywhere("0.0.0.0", 7002);
  EXPECT_EQ(0, net_write(fd, kHosts[0].name, 9875, "hello", 5));
  std::string got;
  sockaddr_in from;
  ASSERT_TRUE(alpha.recv(&got, 1000, &from));
  EXPECT_EQ("hello", got);
  EXPECT_EQ(6012, ntohs(from.sin_port));

  EXPECT_EQ(-1, net_write(fd, "nosuchhost", 7002, "lost", 4));
  EXPECT_EQ(-1, net_write(fd, "0.0.0.0", 7002, "lost", 4));
  EXPECT_TRUE(anywhere.quiet()) << "address 0 reaches this host: nothing may go there";
  close(fd);
}

TEST(NetTest, ResolversTakeQuadsThenHostNamesAndAskNisOnlyForTheRest) {
  const struct {
    const char* name;
    in_addr_t net_get_addr, host2ip;  // null: this host's name for one, nothing for the other
  } cases[] = {{"10.1.2.3", inet_addr("10.1.2.3"), inet_addr("10.1.2.3")},
               {kHosts[2].name, inet_addr(kHosts[2].addr), inet_addr(kHosts[2].addr)},
               {nullptr, inet_addr("127.0.1.1"), 0},
               {"nosuchhost", 0, INADDR_NONE}};
  for (const auto& c : cases) {
    const int asked = domain_requests;
    EXPECT_EQ(c.net_get_addr, static_cast<in_addr_t>(net_get_addr(c.name)));
    EXPECT_EQ(c.host2ip, host2ip(c.name).s_addr);
    // Without a domain every NIS fallback asks for one again.
    EXPECT_EQ(asked + (c.host2ip == INADDR_NONE), domain_requests) << (c.name ? c.name : "null");
  }
}

// Interfaces on which this namespace is a member of group, from /proc/net/igmp.
std::string member_interfaces(const char* group) {
  char want[16];
  snprintf(want, sizeof want, "%08X", inet_addr(group));
  std::ifstream in("/proc/net/igmp");
  std::string line, device, found;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string first;
    words >> first;
    if (line[0] != '\t' && words >> device)
      continue;
    if (first == want)
      found += (found.empty() ? "" : " ") + device;
  }
  return found;
}

TEST(NetTest, NoloopbackJoinsOnLoopbackWhereNetOpenFollowsTheRoute) {
  // A second interface that carries the multicast route, so the two differ.
  ASSERT_EQ(0, system("ip link add vok0 type veth peer name vok1 && ip link set vok1 up && "
                      "ip link set vok0 up && ip route replace 224.0.0.0/4 dev vok0"));
  int fd = net_open("224.2.127.254", 7003, 1);
  EXPECT_EQ("vok0", member_interfaces("224.2.127.254"));
  close(fd);
  fd = net_open_noloopback("224.2.127.254", 7003, 1);
  EXPECT_EQ("lo", member_interfaces("224.2.127.254"));
  close(fd);
  EXPECT_EQ(0, system("ip link del vok0 && ip route replace 224.0.0.0/4 dev lo"));
}

TEST(NetTest, NonblockAndNetReadGiveNullForNothingAndForAnEmptyDatagram) {
  const int fd = net_open(nullptr, 7020, 0);
  nonblock(fd);
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  int len = 99;
  EXPECT_EQ(nullptr, net_read(fd, &len, 2048));
  EXPECT_EQ(-1, len) << "an empty non-blocking socket";
  Udp sender("127.0.0.1", 0);
  ASSERT_TRUE(sender.send_to("127.0.0.1", 7020, ""));
  ASSERT_TRUE(readable(fd, 1000));
  EXPECT_EQ(nullptr, net_read(fd, &len, 2048));
  EXPECT_EQ(0, len) << "a zero-length datagram";
  ASSERT_TRUE(sender.send_to("127.0.0.1", 7020, "abc"));
  ASSERT_TRUE(readable(fd, 1000));
  char* got = net_read(fd, &len, 2048);
  ASSERT_NE(nullptr, got);
  EXPECT_EQ("abc", std::string(got, static_cast<size_t>(len)));
  xfree(got);
  net_close(fd);
  EXPECT_EQ(-1, fcntl(fd, F_GETFL)) << "net_close closes";
}

TEST(NetDeathTest, NonblockEndsTheProcessWhenTheFlagsCannotBeSet) {
  EXPECT_EXIT(nonblock(-1), testing::ExitedWithCode(1), "fcntl: F_SETFL");
}

TEST(NetTest, GroupChannelDeliversToEveryMemberTheSenderIncluded) {
  int r1, s1, r2, s2;
  mcast_net_open("224.5.6.7", 7010, 1, &r1, &s1);
  mcast_net_open("224.5.6.7", 7010, 1, &r2, &s2);
  ASSERT_TRUE(r1 >= 0 && s1 >= 0 && r2 >= 0 && s2 >= 0);
  ASSERT_EQ(5, send(s1, "hello", 5, 0)) << "connected: needs no destination";
  for (int r : {r1, r2}) {
    char buf[16];
    sockaddr_in from;
    EXPECT_EQ(5, net_read_buf_from(bounded(r), buf, sizeof buf, &from));
    EXPECT_EQ(inet_addr("127.0.0.1"), from.sin_addr.s_addr);
  }
  for (int fd : {r1, s1, r2, s2})
    close(fd);
}

TEST(NetTest, GroupChannelFallsBackToAnyAddressWhereTheGroupCannotBeBound) {
  int r, s;
  refuse_group_bind = true;
  mcast_net_open("224.5.6.7", 7011, 1, &r, &s);
  refuse_group_bind = false;
  ASSERT_TRUE(r >= 0 && s >= 0);
  sockaddr_in sa;
  socklen_t len = sizeof sa;
  ASSERT_EQ(0, getsockname(r, reinterpret_cast<sockaddr*>(&sa), &len));
  EXPECT_EQ(htonl(INADDR_ANY), sa.sin_addr.s_addr);
  ASSERT_EQ(2, send(s, "hi", 2, 0));
  char buf[16];
  EXPECT_EQ(2, net_read_buf(bounded(r), buf, sizeof buf));
  close(r);
  close(s);
}

TEST(NetTest, GroupChannelIsMinusOneWhenItCannotBeBoundOrJoined) {
  Udp holder("0.0.0.0", 7012, false);
  const int before = own_fds();
  for (const char* group : {"224.5.6.7", "127.0.0.1"}) {
    int r = 0, s = 0;
    mcast_net_open(group, 7012 + (group[0] == '1'), 1, &r, &s);
    EXPECT_EQ(-1, r) << group;
    EXPECT_EQ(-1, s) << group;
  }
  EXPECT_EQ(before, own_fds());
}

TEST(NetTest, ReceiveBufferGoesBeyondTheSystemLimitWhereThatIsAllowed) {
  const int fd = net_open(nullptr, 7040, 0);
  const int want = 4 << 20;
  const int granted = net_rcvbuf(fd, want);
  if (geteuid() == 0)
    EXPECT_EQ(2 * want, granted) << "the kernel doubles what it grants";
  else
    EXPECT_GT(granted, 0);
  close(fd);
}

TEST(NetTest, PlainCProgramCallsEveryFunction) {
  EXPECT_EQ(0, system(VOK_C_LINKAGE_PATH));
}

}  // namespace
