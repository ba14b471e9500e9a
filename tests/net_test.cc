// net_test.cc -- the network module over real sockets and real NIS servers in the test sandbox:
// what the relay's own tests do not already exercise.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "network/memory.h"
#include "network/net.h"
#include "relay_fixture.h"

#include "net_calls.c"

// Counts the NIS domain requests the network module makes, then hands each over.
int domain_requests = 0;
extern "C" int yp_get_default_domain(char** out) {
  ++domain_requests;
  static auto real = reinterpret_cast<int (*)(char**)>(dlsym(RTLD_NEXT, "yp_get_default_domain"));
  return real(out);
}

namespace {

// Real NIS servers (rpcbind, ypserv, ypbind) for domain voktest, their state in private /run
// and /var/yp; each started once the one before answers.
const char kStartNis[] =
    "mount -t tmpfs tmpfs /run && mount -t tmpfs tmpfs /var/yp && "
    "echo voktest > /proc/sys/kernel/domainname && "
    "mkdir -p /var/yp/voktest /var/yp/binding /run/rpcbind && "
    "printf 'nisonly\\t10.9.8.7\\tnisonly\\nalpha\\t10.9.8.8\\talpha\\n' | "
    "/usr/lib/yp/makedbm - /var/yp/voktest/hosts.byname && "
    "echo 'domain voktest server 127.0.0.1' > /tmp/yp.conf && "
    "up() { \"$@\" >/dev/null 2>&1 & echo $! >> /tmp/nis.pids; } && "
    "answers() { timeout 10 sh -c \"until $1 >/dev/null 2>&1; do sleep 0.1; done\"; } && "
    "up /usr/sbin/rpcbind -f -w && answers 'rpcinfo -p' && "
    "up /usr/sbin/ypserv -f && answers 'rpcinfo -u 127.0.0.1 ypserv' && "
    "up /usr/sbin/ypbind -n -no-ping -f /tmp/yp.conf && answers ypwhich";

TEST(NetTest, ResolversTakeQuadsThenTheHostsFileAndAskNisOnlyForTheRest) {
  const char* const none = "nosuchhost";
  const struct {
    const char* name;
    in_addr_t net_get_addr, host2ip;  // null: this host's name for one, nothing for the other
    int domain_requests;              // so far: until NIS has a domain, each fallback asks
  } without_nis[] = {{"10.1.2.3", inet_addr("10.1.2.3"), inet_addr("10.1.2.3"), 0},
                     {kHosts[0].name, inet_addr(kHosts[0].addr), inet_addr(kHosts[0].addr), 0},
                     {nullptr, inet_addr("127.0.1.1"), 0, 0},
                     {none, 0, INADDR_NONE, 1},
                     {none, 0, INADDR_NONE, 2}},
    with_nis[] = {{"nisonly", 0, inet_addr("10.9.8.7"), 3},
                  {"nisonly", 0, inet_addr("10.9.8.7"), 3},
                  {kHosts[0].name, inet_addr(kHosts[0].addr), inet_addr(kHosts[0].addr), 3},
                  {none, 0, INADDR_NONE, 3}};
  auto check = [](const auto& cases) {
    for (const auto& c : cases) {
      EXPECT_EQ(c.net_get_addr, static_cast<in_addr_t>(net_get_addr(c.name)));
      EXPECT_EQ(c.host2ip, host2ip(c.name).s_addr);
      EXPECT_EQ(c.domain_requests, domain_requests) << (c.name ? c.name : "null");
    }
  };
  check(without_nis);
  Changed nis(kStartNis, "kill $(cat /tmp/nis.pids)");  // alpha there too: the hosts file wins
  check(with_nis);
}

// The same table from C++ (compiled into this test) and from a C program.
TEST(NetTest, EachFunctionOfTheInterfaceFromCAndCxx) {
  EXPECT_EQ(0, net_calls());
  EXPECT_EQ(0, system(VOK_C_LINKAGE_PATH));
}

}  // namespace
