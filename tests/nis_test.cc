// nis_test.cc -- host2ip against a real NIS server (rpcbind, ypserv, ypbind) run in the sandbox.
#include <arpa/inet.h>
#include <fcntl.h>
#include <rpcsvc/ypclnt.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sandbox.h"
#include "interpose.h"
#include "network/net.h"

namespace {

const char kDomain[] = "voktest";

pid_t spawn(std::vector<const char*> argv) {
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 1);
    dup2(null, 2);
    execv(argv[0], const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  return pid;
}

// The servers, with their state in private /run and /var/yp, for the whole test binary.
class NisServers : public testing::Environment {
 public:
  void SetUp() override {
    for (const char* dir : {"/run", "/var/yp"})
      ASSERT_EQ(0, mount("tmpfs", dir, "tmpfs", 0, "mode=0755")) << dir << ": " << strerror(errno);
    ASSERT_EQ(0, setdomainname(kDomain, strlen(kDomain)));
    ASSERT_EQ(0, system("mkdir -p /var/yp/voktest /var/yp/binding /run/rpcbind && "
                        "printf 'nisonly\\t10.9.8.7\\tnisonly\\nalpha\\t10.9.8.8\\talpha\\n' | "
                        "/usr/lib/yp/makedbm - /var/yp/voktest/hosts.byname"));
    std::ofstream("/tmp/yp.conf") << "domain " << kDomain << " server 127.0.0.1\n";
    pids_.push_back(spawn({"/usr/sbin/rpcbind", "-f", "-w"}));
    ASSERT_TRUE(wait_for("rpcinfo -p >/dev/null 2>&1"));
    pids_.push_back(spawn({"/usr/sbin/ypserv", "-f"}));
    ASSERT_TRUE(wait_for("rpcinfo -u 127.0.0.1 ypserv >/dev/null 2>&1"));
    pids_.push_back(spawn({"/usr/sbin/ypbind", "-n", "-no-ping", "-f", "/tmp/yp.conf"}));
    ASSERT_TRUE(wait_for("ypwhich >/dev/null 2>&1")) << "ypbind never bound";
  }
  void TearDown() override {
    for (pid_t pid : pids_) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }

 private:
  static bool wait_for(const char* command) {
    for (int i = 0; i < 100; ++i) {
      if (system(command) == 0)
        return true;
      usleep(100000);
    }
    return false;
  }
  std::vector<pid_t> pids_;
};

TEST(NisTest, NameKnownOnlyToNisResolvesAndTheDomainIsAskedForOnce) {
  EXPECT_EQ(inet_addr("10.9.8.7"), host2ip("nisonly").s_addr);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(inet_addr("10.9.8.7"), host2ip("nisonly").s_addr);
  EXPECT_EQ(INADDR_NONE, host2ip("unknown-everywhere").s_addr);
  EXPECT_EQ(1, domain_requests);
  EXPECT_EQ(inet_addr(kHosts[0].addr), host2ip(kHosts[0].name).s_addr)
      << "the hosts file comes before NIS";
}

}  // namespace

// Registered before main's RUN_ALL_TESTS, which runs it inside the sandbox.
static testing::Environment* const servers = testing::AddGlobalTestEnvironment(new NisServers);
