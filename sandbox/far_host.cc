// far_host.cc -- a second host inside the sandbox, across a link of its own.
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "sandbox.h"

namespace {

// Nothing can run on a host half made or half undone.
[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "sandbox: far host: %s\n", what.c_str());
  abort();
}

void shell(const std::string& command) {
  if (system(command.c_str()) != 0)
    fail("failed: " + command);
}

}  // namespace

FarHost::FarHost(const std::string& name, const std::string& link, const std::string& net,
                 bool debian, const std::string& bridge, int id) {
  const std::string addr = net + "." + std::to_string(id);
  shell("cp /etc/hosts /tmp/hosts.near." + link + " && echo '" + addr + " " + name +
        "' >> /etc/hosts && printf '127.0.0.1 localhost\\n" + (debian ? "127.0.1.1" : addr) +
        " " + name + "\\n" + net + ".1 relayhost\\n' > /tmp/far-hosts." + link);
  // What runs there logs to nowhere: the sandbox's /dev/log hears only this side.
  holder_ = std::make_unique<PipedProcess>(
      std::vector<std::string>{"--net", "--mount", "--uts", "--propagation", "private", "sh", "-c",
                               "mount --bind /tmp/far-hosts." + link + " /etc/hosts && "
                               "{ [ ! -S /dev/log ] || mount --bind /dev/null /dev/log; } && "
                               "hostname " + name + " && echo ready && exec sleep 100000"},
      "/usr/bin/unshare");
  std::string line;
  if (!holder_->next_line(&line, 5000) || line != "ready")
    fail("its namespaces were not made");
  pid_ = std::to_string(holder_->pid());
  hosts_ = "/tmp/hosts.near." + link;
  add_link(link, net, bridge, id);
  shell("nsenter -t " + pid_ + " -n sh -c 'ip link set lo up && ip route add 224.0.0.0/4 dev " +
        link + "1'");
}

void FarHost::add_link(const std::string& link, const std::string& net, const std::string& bridge,
                       int id) {
  // On a bridge of its own (made by the first host on it), a link takes several hosts.
  std::string near = "ip addr add " + net + ".1/24 dev " + link + "0";
  if (!bridge.empty()) {
    near = "ip link set " + link + "0 master " + bridge;
    if (system(("ip link show " + bridge + " >/dev/null 2>&1").c_str()) != 0) {
      shell("ip link add " + bridge + " type bridge mcast_snooping 0 && ip addr add " + net +
            ".1/24 dev " + bridge + " && ip link set " + bridge + " up");
      bridges_.push_back(bridge);
    }
  }
  shell("ip link add " + link + "0 type veth peer name " + link + "1 netns " + pid_ + " && " +
        near + " && ip link set " + link + "0 up && nsenter -t " + pid_ +
        " -n sh -c 'ip addr add " + net + "." + std::to_string(id) + "/24 dev " + link +
        "1 && ip link set " + link + "1 up'");
  links_.push_back(link);
}

FarHost::~FarHost() {
  // The pairs go as the host does, not whenever the kernel gets round to the namespace.
  for (const std::string& link : links_)
    shell("ip link del " + link + "0");
  for (const std::string& bridge : bridges_)
    shell("ip link del " + bridge);
  holder_.reset();
  shell("cp " + hosts_ + " /etc/hosts");
}

std::unique_ptr<PipedProcess> FarHost::run(const std::string& program,
                                           const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"-t", pid_, "-n", "-m", "-u", "--", program};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<PipedProcess>(argv, "/usr/bin/nsenter");
}

std::unique_ptr<Udp> FarHost::udp(const char* addr, int port, bool any_source) const {
  const int here = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  const int there = open(("/proc/" + pid_ + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
  if (setns(there, CLONE_NEWNET) < 0)
    die("setns");
  auto u = std::make_unique<Udp>(addr, port, true, any_source);
  if (setns(here, CLONE_NEWNET) < 0)
    die("setns back");
  close(here);
  close(there);
  return u;
}
