// namespaces.cc -- the sandbox itself: private network, mount and UTS namespaces with only lo,
// multicast routed to it, and private /tmp, /dev and /etc files.
#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <net/if.h>
#include <net/route.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "sandbox.h"

const char kRelayHost[] = "relayhost";
const TestHost kHosts[5] = {{"alpha", "127.0.0.2"},
                            {"beta", "127.0.0.3"},
                            {"gamma", "127.0.0.4"},
                            {"delta", "127.0.0.5"},
                            {"epsilon", "127.0.0.6"}};
const char kName32[] = "hhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhx";

namespace {

bool write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  return static_cast<bool>(out.flush());
}

bool fail(std::string* why, const std::string& what) {
  *why = what + ": " + strerror(errno);
  return false;
}

bool map_user(uid_t uid, gid_t gid, std::string* why) {
  if (!write_file("/proc/self/setgroups", "deny") ||
      !write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
      !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
    return fail(why, "user namespace maps");
  return true;
}

bool loopback_with_multicast(std::string* why) {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0)
    return fail(why, "socket");
  ifreq ifr = {};
  snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "lo");
  bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING | IFF_MULTICAST;
  ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  if (!ok) {
    close(s);
    return fail(why, "lo up");
  }
  rtentry rt = {};
  char dev[] = "lo";
  auto set = [](sockaddr* sa, const char* addr) {
    sockaddr_in* in = reinterpret_cast<sockaddr_in*>(sa);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = inet_addr(addr);
  };
  set(&rt.rt_dst, "224.0.0.0");
  set(&rt.rt_genmask, "240.0.0.0");
  rt.rt_flags = RTF_UP;
  rt.rt_dev = dev;
  ok = ioctl(s, SIOCADDRT, &rt) == 0;
  close(s);
  return ok || fail(why, "route 224.0.0.0/4 dev lo");
}

bool private_dev(std::string* why) {
  if (mkdir("/tmp/dev", 0755) < 0)
    return fail(why, "mkdir /tmp/dev");
  for (const char* name : {"null", "zero", "random", "urandom"}) {
    const std::string real = std::string("/dev/") + name, copy = "/tmp/dev/" + std::string(name);
    if (!write_file(copy, "") || mount(real.c_str(), copy.c_str(), nullptr, MS_BIND, nullptr) < 0)
      return fail(why, "bind " + real);
  }
  if (mount("/tmp/dev", "/dev", nullptr, MS_BIND | MS_REC, nullptr) < 0)
    return fail(why, "bind /dev");
  return true;
}

// Replaces an /etc file for this namespace only; a file that is missing is left so.
bool private_etc(const char* name, const std::string& text, std::string* why) {
  const std::string path = std::string("/etc/") + name, copy = std::string("/tmp/etc-") + name;
  if (access(path.c_str(), F_OK) < 0)
    return true;
  if (!write_file(copy, text) || mount(copy.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) < 0)
    return fail(why, "bind " + path);
  return true;
}

std::string hosts_file() {
  std::string text = "127.0.0.1 localhost\n127.0.1.1 " + std::string(kRelayHost) + "\n";
  for (const TestHost& h : kHosts)
    text += std::string(h.addr) + " " + h.name + "\n";
  // The long name, and its first 31 characters: another host.
  return text + kHosts[0].addr + " " + kName32 + "\n" + kHosts[1].addr + " " +
         std::string(kName32, 31) + "\n";
}


// Mounts a fresh /tmp. A program that runs from under /tmp (a checkout there)
// keeps its top directory, bound back in from the /tmp it hides.
bool private_tmp(std::string* why) {
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string top;
  if (n > 5 && strncmp(exe, "/tmp/", 5) == 0) {
    exe[n] = '\0';
    top = std::string(exe + 5, strcspn(exe + 5, "/"));
  }
  const int old_tmp = top.empty() ? -1 : open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") < 0)
    return fail(why, "tmpfs /tmp");
  if (old_tmp < 0)
    return true;
  const std::string from = "/proc/self/fd/" + std::to_string(old_tmp) + "/" + top;
  const std::string to = "/tmp/" + top;
  const bool ok = mkdir(to.c_str(), 0755) == 0 &&
                  mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
  close(old_tmp);
  return ok || fail(why, "bind " + to);
}

}  // namespace

bool enter_sandbox(std::string* why) {
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  int flags = CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWUTS;
  if (uid != 0)
    flags |= CLONE_NEWUSER;
  if (unshare(flags) < 0)
    return fail(why, "unshare");
  if (uid != 0 && !map_user(uid, gid, why))
    return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
    return fail(why, "make / private");
  if (!private_tmp(why))
    return false;
  // No NIS domain, as on most hosts, whatever the real host has.
  if (sethostname(kRelayHost, strlen(kRelayHost)) < 0 || setdomainname("(none)", 6) < 0)
    return fail(why, "sethostname");
  // Room for bursts of log lines, so a slow reader never stalls the relay.
  write_file("/proc/sys/net/unix/max_dgram_qlen", "1024");
  // Names come from the private hosts file only; no query leaves the sandbox.
  return loopback_with_multicast(why) && private_dev(why) &&
         private_etc("hosts", hosts_file(), why) &&
         private_etc("nsswitch.conf", "hosts: files dns\n", why) &&
         private_etc("resolv.conf", "nameserver 127.0.0.1\n", why);
}
