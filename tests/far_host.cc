// far_host.cc -- a second host for the tests, joined to the sandbox by a veth pair.
#include "far_host.h"

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

const char FarHost::kNearAddr[] = "10.201.0.1";
const char FarHost::kFarAddr[] = "10.201.0.2";

namespace {

void sh(const std::string& command) {
  if (system(command.c_str()) != 0)
    die(command.c_str());
}

// Runs f with this thread in the network namespace of process pid.
template <typename F>
void in_netns(pid_t pid, F f) {
  const int here = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  const int there = open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
  if (here < 0 || there < 0 || setns(there, CLONE_NEWNET) < 0)
    die("setns");
  f();
  if (setns(here, CLONE_NEWNET) < 0)
    die("setns back");
  close(here);
  close(there);
}

}  // namespace

FarHost::FarHost() {
  std::ofstream("/tmp/far-hosts") << "127.0.0.1 localhost\n127.0.1.1 farhost\n"
                                  << kNearAddr << " relayhost\n";
  std::stringstream hosts;
  hosts << std::ifstream("/etc/hosts").rdbuf();
  hosts_ = hosts.str();
  std::ofstream("/etc/hosts") << hosts_ << kFarAddr << " farhost\n";
  // A process in namespaces of its own holds them until it is killed. What runs there logs
  // to nowhere, so the sandbox's /dev/log hears only the near side.
  holder_ = std::make_unique<PipedProcess>(
      std::vector<std::string>{"--net", "--mount", "--uts", "--propagation", "private", "sh", "-c",
                               "mount --bind /tmp/far-hosts /etc/hosts && "
                               "{ [ ! -S /dev/log ] || mount --bind /dev/null /dev/log; } && "
                               "hostname farhost && echo ready && exec sleep 100000"},
      "/usr/bin/unshare");
  std::string ready;
  if (!holder_->next_line(&ready, 5000) || ready != "ready")
    die("far host namespaces");
  pid_ = holder_->pid();
  const std::string pid = std::to_string(pid_);
  sh("ip link add vfar0 type veth peer name vfar1 netns " + pid + " && ip addr add " + kNearAddr +
     "/24 dev vfar0 && ip link set vfar0 up");
  sh("nsenter -t " + pid + " -n sh -c 'ip link set lo up && ip addr add " + kFarAddr +
     "/24 dev vfar1 && ip link set vfar1 up && ip route add 224.0.0.0/4 dev vfar1'");
}

FarHost::~FarHost() {
  std::ofstream("/etc/hosts") << hosts_;
  // The pair goes now, not whenever the kernel gets round to the dead namespace.
  sh("ip link del vfar0");
  holder_.reset();
}

std::unique_ptr<PipedProcess> FarHost::run(const std::string& program,
                                           const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"-t", std::to_string(pid_), "-n", "-m", "-u", "--", program};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<PipedProcess>(argv, "/usr/bin/nsenter");
}

std::unique_ptr<Udp> FarHost::udp(const char* addr, int port) const {
  std::unique_ptr<Udp> u;
  in_netns(pid_, [&] { u = std::make_unique<Udp>(addr, port); });
  return u;
}

bool FarHost::wait_bound(int port) const {
  char want[64];
  snprintf(want, sizeof want, "grep -q ' 00000000:%04X ' /proc/net/udp", port);
  for (int i = 0; i < 300; ++i) {
    if (system(("nsenter -t " + std::to_string(pid_) + " -n -m sh -c \"" + want + "\"").c_str()) == 0)
      return true;
    usleep(10000);
  }
  return false;
}
