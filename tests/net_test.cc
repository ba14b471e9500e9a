// net_test.cc -- the network module over real sockets in the test sandbox.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "harness.h"
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

TEST(NetTest, ResolvesDottedQuadsNamesAndThisHost) {
  EXPECT_EQ(inet_addr("10.1.2.3"), static_cast<in_addr_t>(net_get_addr("10.1.2.3")));
  EXPECT_EQ(inet_addr(kHosts[2].addr), static_cast<in_addr_t>(net_get_addr(kHosts[2].name)));
  EXPECT_EQ(inet_addr("127.0.1.1"), static_cast<in_addr_t>(net_get_addr(nullptr)));
  EXPECT_EQ(0, net_get_addr("nosuchhost"));
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
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(-1, net_open("224.2.127.254", 7001, 16));
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

TEST(NetTest, LocalAddressesAreLoopbackAndThoseOfTheInterfaces) {
  EXPECT_EQ(1, net_is_local_addr(inet_addr("127.0.0.1")));
  EXPECT_EQ(1, net_is_local_addr(inet_addr("127.9.9.9")));
  EXPECT_EQ(0, net_is_local_addr(inet_addr("10.1.2.3")));
}

}  // namespace
