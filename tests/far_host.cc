// far_host.cc -- a second host for the tests, joined to the sandbox by a veth pair.
#include "far_host.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

const char FarHost::kNearAddr[] = "10.201.0.1";
const char FarHost::kFarAddr[] = "10.201.0.2";

namespace {

[[noreturn]] void die(const char* what) {
  perror(what);
  abort();
}

void sh(const std::string& command) {
  if (system(command.c_str()) != 0)
    die(command.c_str());
}

}  // namespace

FarHost::FarHost(const std::string& hosts) {
  if (!hosts.empty())
    std::ofstream("/tmp/far-hosts") << hosts;
  int ready[2];
  if (pipe(ready) < 0)
    die("pipe");
  pid_ = fork();
  if (pid_ == 0) {
    // The child holds the namespaces open until it is killed.
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) < 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
        (!hosts.empty() && mount("/tmp/far-hosts", "/etc/hosts", nullptr, MS_BIND, nullptr) < 0))
      _exit(1);
    if (write(ready[1], "x", 1) != 1)
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
  sh("ip link add vfar0 type veth peer name vfar1 netns " + pid +
     " && ip addr add " + kNearAddr + "/24 dev vfar0 && ip link set vfar0 up");
  sh("nsenter -t " + pid + " -n sh -c 'ip link set lo up && ip addr add " + kFarAddr +
     "/24 dev vfar1 && ip link set vfar1 up && ip route add 224.0.0.0/4 dev vfar1'");
}

FarHost::~FarHost() {
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  if (system("ip link del vfar0 2>/dev/null") != 0) {
    // Gone with the far end already.
  }
}

std::vector<std::string> FarHost::enter(const std::vector<std::string>& command) const {
  std::vector<std::string> argv = {"-t", std::to_string(pid_), "-n", "-m", "--"};
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

int FarHost::run(const std::string& command) const {
  const int status = system(
      ("nsenter -t " + std::to_string(pid_) + " -n -m sh -c '" + command + "'").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
