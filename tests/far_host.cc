// far_host.cc -- a second host for the tests, joined to the sandbox by a veth pair.
#include "far_host.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

const char FarHost::kNearAddr[] = "10.201.0.1";
const char FarHost::kFarAddr[] = "10.201.0.2";

namespace {

[[noreturn]] void die(const std::string& what) {
  perror(what.c_str());
  abort();
}

void sh(const std::string& command) {
  if (system(command.c_str()) != 0)
    die(command);
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
  int ready[2];
  if (pipe(ready) < 0)
    die("pipe");
  pid_ = fork();
  if (pid_ == 0) {
    // The child holds the namespaces until it is killed. What runs there
    // logs to nowhere, so the sandbox's /dev/log hears only the near side.
    const bool ok = unshare(CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWUTS) == 0 &&
                    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                    mount("/tmp/far-hosts", "/etc/hosts", nullptr, MS_BIND, nullptr) == 0 &&
                    (access("/dev/log", F_OK) != 0 ||
                     mount("/dev/null", "/dev/log", nullptr, MS_BIND, nullptr) == 0) &&
                    sethostname("farhost", 7) == 0;
    if (!ok || write(ready[1], "x", 1) != 1)
      _exit(1);
    for (;;)
      pause();
  }
  char byte;
  close(ready[1]);
  if (read(ready[0], &byte, 1) != 1)
    die("far host namespaces");
  close(ready[0]);
  const std::string pid = std::to_string(pid_);
  sh("ip link add vfar0 type veth peer name vfar1 netns " + pid + " && ip addr add " + kNearAddr +
     "/24 dev vfar0 && ip link set vfar0 up");
  sh("nsenter -t " + pid + " -n sh -c 'ip link set lo up && ip addr add " + kFarAddr +
     "/24 dev vfar1 && ip link set vfar1 up && ip route add 224.0.0.0/4 dev vfar1'");
}

FarHost::~FarHost() {
  std::ofstream("/etc/hosts") << hosts_;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  if (system("ip link del vfar0 2>/dev/null") != 0) {
    // Gone with the far end already.
  }
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
