// sandbox.cc -- a private network, mount and host-name sandbox, and what drives the real
// daemon inside it: its /dev/log, its process and UDP clients.
#include "sandbox.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <net/if.h>
#include <net/route.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#if !defined(VOK_RELAY_PATH) || !defined(VOK_CLIENT_PATH)
#error "VOK_RELAY_PATH and VOK_CLIENT_PATH name the programs under test"
#endif

const char kRelayPath[] = VOK_RELAY_PATH;
const char kClientPath[] = VOK_CLIENT_PATH;

const char kRelayHost[] = "relayhost";
const TestHost kHosts[5] = {{"alpha", "127.0.0.2"},
                            {"beta", "127.0.0.3"},
                            {"gamma", "127.0.0.4"},
                            {"delta", "127.0.0.5"},
                            {"epsilon", "127.0.0.6"}};
const char kName32[] = "hhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhx";
const char kName31[] = "hhhhhhhhhhhhhhhhhhhhhhhhhhhhhhh";

namespace {

const char kSanitizerLog[] = "/tmp/sanitizer";

[[noreturn]] void die(const char* what) {
  perror(what);
  abort();
}

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
  return text + kHosts[0].addr + " " + kName32 + "\n" + kHosts[1].addr + " " + kName31 + "\n";
}

long long now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

bool port_bound_any(const char* table, int port) {
  std::ifstream in(table);
  char want[32];
  snprintf(want, sizeof want, "00000000:%04X", port);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local;
    if (fields >> slot >> local && local == want)
      return true;
  }
  return false;
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

bool readable(int fd, int timeout_ms) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

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

LogSink::LogSink() : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  sockaddr_un sa = {};
  sa.sun_family = AF_UNIX;
  snprintf(sa.sun_path, sizeof sa.sun_path, "/dev/log");
  unlink(sa.sun_path);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0)
    die("bind /dev/log");
}

LogSink::~LogSink() {
  close(fd_);
  unlink("/dev/log");
}

bool LogSink::next(LogLine* line, int timeout_ms) {
  char buf[4096];
  if (!readable(fd_, timeout_ms))
    return false;
  const ssize_t n = recv(fd_, buf, sizeof buf - 1, 0);
  if (n <= 0)
    return false;
  const std::string raw(buf, static_cast<size_t>(n));
  // "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE"
  *line = LogLine();
  int pri = -1, used = 0;
  if (sscanf(raw.c_str(), "<%d>%n", &pri, &used) != 1) {
    line->msg = raw;
    return true;
  }
  line->priority = pri;
  const size_t tag = static_cast<size_t>(used) + 16;  // past the time stamp
  const size_t open = raw.find('[', tag), colon = raw.find("]: ", tag);
  if (tag > raw.size() || open == std::string::npos || colon == std::string::npos) {
    line->msg = raw.substr(static_cast<size_t>(used));
    return true;
  }
  line->ident = raw.substr(tag, open - tag);
  line->pid = atoi(raw.c_str() + open + 1);
  line->msg = raw.substr(colon + 3);
  return true;
}

std::vector<std::string> LogSink::drain(int quiet_ms) {
  std::vector<std::string> msgs;
  LogLine line;
  while (next(&line, quiet_ms))
    msgs.push_back(line.msg);
  return msgs;
}

Process::Process(const std::vector<std::string>& args, const std::vector<std::string>& env,
                 int stdout_fd, const char* program) {
  std::vector<std::string> argv_s = {program != nullptr ? program : VOK_RELAY_PATH};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<std::string> env_s = {
      "PATH=/usr/bin:/bin",
      std::string("ASAN_OPTIONS=exitcode=66:log_path=") + kSanitizerLog,
      std::string("UBSAN_OPTIONS=halt_on_error=1:exitcode=66:log_path=") + kSanitizerLog};
  env_s.insert(env_s.end(), env.begin(), env.end());
  std::vector<char*> argv, envp;
  for (std::string& s : argv_s)
    argv.push_back(&s[0]);
  for (std::string& s : env_s)
    envp.push_back(&s[0]);
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    if (stdout_fd >= 0) {
      dup2(stdout_fd, STDOUT_FILENO);
      dup2(stdout_fd, STDERR_FILENO);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
}

Process::~Process() {
  if (!reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::string Process::sanitizer_report() {
  std::string report;
  glob_t g;
  if (glob((std::string(kSanitizerLog) + "*").c_str(), 0, nullptr, &g) == 0) {
    for (size_t i = 0; i < g.gl_pathc; ++i) {
      std::ifstream in(g.gl_pathv[i]);
      std::stringstream text;
      text << in.rdbuf();
      report += text.str();
      unlink(g.gl_pathv[i]);
    }
  }
  globfree(&g);
  return report;
}

void Process::signal(int sig) const { kill(pid_, sig); }

int Process::wait_exit(int timeout_ms) {
  const long long end = now_ms() + timeout_ms;
  int status;
  while (!reaped_) {
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      break;
    }
    if (now_ms() >= end)
      return -1;
    usleep(2000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Process::wait_ready(int timeout_ms) const {
  const long long end = now_ms() + timeout_ms;
  while (!port_bound_any("/proc/net/udp", 6012) || !port_bound_any("/proc/net/udp", 9875)) {
    if (now_ms() >= end)
      return false;
    usleep(2000);
  }
  return true;
}

Udp::Udp(const char* addr, int port, bool reuse)
    : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  const int on = 1;
  if (reuse)
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  // Clients that read late must not lose what the relay sent meanwhile.
  const int room = 8 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = inet_addr(addr);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0)
    die((std::string("bind ") + addr + ":" + std::to_string(port)).c_str());
}

Udp::~Udp() { close(fd_); }

bool Udp::send_to(const char* addr, int port, const std::string& data) const {
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = inet_addr(addr);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) ==
         static_cast<ssize_t>(data.size());
}

bool Udp::recv(std::string* data, int timeout_ms, sockaddr_in* from, long long* stamp_ns) const {
  if (!readable(fd_, timeout_ms))
    return false;
  static char buf[65536];
  sockaddr_in sa;
  iovec iov = {buf, sizeof buf};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr msg = {};
  msg.msg_name = &sa;
  msg.msg_namelen = sizeof sa;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(fd_, &msg, 0);
  if (n < 0)
    return false;
  data->assign(buf, static_cast<size_t>(n));
  if (from != nullptr)
    *from = sa;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); stamp_ns != nullptr && c != nullptr;
       c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec t;
      memcpy(&t, CMSG_DATA(c), sizeof t);
      *stamp_ns = t.tv_sec * 1000000000LL + t.tv_nsec;
    }
  }
  return true;
}

bool Udp::quiet(int ms) const { return !readable(fd_, ms); }

PipedProcess::Pipe PipedProcess::make_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) < 0)
    die("pipe");
  return {fds[0], fds[1]};
}

PipedProcess::PipedProcess(const std::vector<std::string>& args, const char* program, Pipe p)
    : Process(args, {}, p.write_end, program), fd_(p.read_end) {
  close(p.write_end);  // the child has it: end of file comes when the child ends
}

PipedProcess::~PipedProcess() { close_output(); }

void PipedProcess::close_output() {
  if (fd_ >= 0)
    close(fd_);
  fd_ = -1;
}

bool PipedProcess::next_line(std::string* line, int timeout_ms) {
  const long long end = now_ms() + timeout_ms;
  size_t nl;
  while ((nl = pending_.find('\n')) == std::string::npos) {
    const long long left = end - now_ms();
    char buf[4096];
    ssize_t n;
    if (left < 0 || !readable(fd_, static_cast<int>(left)) || (n = read(fd_, buf, sizeof buf)) <= 0)
      return false;
    pending_.append(buf, static_cast<size_t>(n));
  }
  *line = pending_.substr(0, nl);
  pending_.erase(0, nl + 1);
  return true;
}

std::string invite(const Udp& client, const std::string& name, int timeout_ms) {
  client.send_to("127.0.0.1", 6012, "Invite_vok_relay " + name);
  std::string reply;
  return client.recv(&reply, timeout_ms) ? reply : std::string();
}

void stop(const Udp& client, const std::string& name) {
  client.send_to("127.0.0.1", 6012, "Stop_vok_relay " + name);
}

int open_fds(pid_t pid) {
  int n = 0;
  if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (const dirent* e = readdir(d))
      n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

long resident_kb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = -1;
  while (in >> key) {
    if (key == "VmRSS:" && in >> value)
      break;
  }
  return value;
}
