// process.cc -- the programs run inside the sandbox: the daemon, the client, others.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "common/signals.h"
#include "sandbox.h"

#if !defined(VOK_RELAY_PATH) || !defined(VOK_CLIENT_PATH)
#error "VOK_RELAY_PATH and VOK_CLIENT_PATH name the programs under test"
#endif

const char kRelayPath[] = VOK_RELAY_PATH;
const char kClientPath[] = VOK_CLIENT_PATH;
const char kSanitizerLog[] = "/tmp/sanitizer";

void die(const char* what) {
  perror(what);
  abort();
}

namespace {

bool port_bound_any(const char* table, int port) {
  std::ifstream in(table);
  char want[32];
  snprintf(want, sizeof want, "00000000:%04X", port);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote;
    if (fields >> slot >> local >> remote && local == want && remote == "00000000:0000")
      return true;
  }
  return false;
}
}  // namespace

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
  // The ports as the process sees them, in whatever network it runs.
  const std::string table = "/proc/" + std::to_string(pid_) + "/net/udp";
  // The relay binds its request socket last, on all addresses and not connected.
  while (!port_bound_any(table.c_str(), 6012)) {
    if (now_ms() >= end)
      return false;
    usleep(2000);
  }
  return true;
}

PipedProcess::Pipe PipedProcess::make_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) < 0)
    die("pipe");
  return {fds[0], fds[1]};
}

PipedProcess::PipedProcess(const std::vector<std::string>& args, const char* program,
                           const std::vector<std::string>& env, Pipe p)
    : Process(args, env, p.write_end, program), fd_(p.read_end) {
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

