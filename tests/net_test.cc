// net_test.cc -- the network module over real sockets and real NIS servers in the test sandbox:
// what the relay's own tests do not already exercise.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <stdlib.h>

#include <gtest/gtest.h>

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

// The interface's table from a C program and compiled into this test; then the resolvers'
// order: quads, then the hosts file, NIS only for the rest (and for its domain until it has one).
TEST(NetTest, EachFunctionOfTheInterfaceFromCAndCxxAndTheResolversOrder) {
  EXPECT_EQ(0, system(VOK_C_LINKAGE_PATH));
  EXPECT_EQ(0, net_calls());
  EXPECT_EQ(0, domain_requests) << "NIS asked for a quad or a name the hosts file knows";
  auto check = [](const char* name, in_addr_t want) {
    EXPECT_EQ(want, host2ip(name).s_addr) << name;
  };
  check("nosuchhost", INADDR_NONE);
  Changed nis(kStartNis, "kill $(cat /tmp/nis.pids)");
  check("nisonly", inet_addr("10.9.8.7"));
  check(kHosts[0].name, inet_addr(kHosts[0].addr));  // there too: the hosts file wins
  check("nosuchhost", INADDR_NONE);
}

}  // namespace
