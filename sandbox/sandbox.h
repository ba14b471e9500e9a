// sandbox.h -- a private network, mount and host-name sandbox, and what drives the real
// daemon inside it: its /dev/log, its process and UDP clients, a second host. Used by the
// tests, the demo and the benchmark. Setup failures inside the sandbox abort with their
// reason: nothing can be tested after them.
#ifndef VOK_SANDBOX_SANDBOX_H
#define VOK_SANDBOX_SANDBOX_H

#include <netinet/in.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

// Moves this process into new network, mount and UTS namespaces (and a user
// namespace when not root): only lo, up, with multicast and 224.0.0.0/4 routed
// to it; private /tmp and /dev (null, zero, random, urandom bound in); a private
// /etc/hosts naming the test hosts; host name "relayhost". False, with the
// reason in *why, when any of it fails.
bool enter_sandbox(std::string* why);

// The test hosts of the sandbox's /etc/hosts.
extern const char kRelayHost[];  // 127.0.1.1, this host's own name
struct TestHost {
  const char* name;
  const char* addr;
};
extern const TestHost kHosts[5];  // alpha .. epsilon, 127.0.0.2 .. 127.0.0.6
// A name too long for a client's identity (32 characters, alpha's address);
// its first 31 are another host's (beta's).
extern const char kName32[];

// A syslog line as received on /dev/log.
struct LogLine {
  int priority = -1;
  std::string ident;
  pid_t pid = -1;
  std::string msg;
};

// The sandbox's /dev/log, bound for the life of the object.
class LogSink {
 public:
  LogSink();
  ~LogSink();
  // The next line, or false when none comes within timeout_ms.
  bool next(LogLine* line, int timeout_ms = 3000);
  // The messages of all lines that arrive until none has come for quiet_ms.
  std::vector<std::string> drain(int quiet_ms = 300);

 private:
  int fd_;
};

// A child process: the daemon (by default) or another program.
class Process {
 public:
  // argv[0] is supplied; env entries are added to a minimal environment;
  // stdout_fd, when given, takes its standard output and error; program null
  // means the daemon.
  explicit Process(const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {}, int stdout_fd = -1,
                   const char* program = nullptr);
  ~Process();  // kills it if it still runs
  pid_t pid() const { return pid_; }
  void signal(int sig) const;
  // Exit status, or -1 when it has not ended within timeout_ms (or died of a signal).
  int wait_exit(int timeout_ms = 3000);
  // True once both of the relay's ports are bound in the network the process is in.
  bool wait_ready(int timeout_ms = 3000) const;

 private:
  pid_t pid_;
  bool reaped_ = false;
};

// A test host's UDP socket.
class Udp {
 public:
  // port 0: any free one; any_source: addr need not be this host's (IP_TRANSPARENT), so
  // that a test can forge another host's datagrams.
  Udp(const char* addr, int port, bool reuse = true, bool any_source = false);
  ~Udp();
  int fd() const { return fd_; }
  bool send_to(const char* addr, int port, const std::string& data) const;
  // One datagram, or false when none arrives within timeout_ms.
  bool recv(std::string* data, int timeout_ms = 2000, sockaddr_in* from = nullptr) const;

 private:
  int fd_;
};

// The daemon and the client program.
extern const char kRelayPath[];
extern const char kClientPath[];
// Where a sanitized child writes what its sanitizer reports (a prefix).
extern const char kSanitizerLog[];

// A child process whose standard output and error the caller reads line by line.
class PipedProcess : public Process {
 public:
  explicit PipedProcess(const std::vector<std::string>& args, const char* program = nullptr,
                        const std::vector<std::string>& env = {})
      : PipedProcess(args, program, env, make_pipe()) {}
  ~PipedProcess();
  // The next line without its newline, or false when none is complete within timeout_ms.
  bool next_line(std::string* line, int timeout_ms = 3000);
  // Stops reading: the child's next write fails.
  void close_output();

 private:
  struct Pipe {
    int read_end, write_end;
  };
  static Pipe make_pipe();
  PipedProcess(const std::vector<std::string>& args, const char* program,
               const std::vector<std::string>& env, Pipe p);

  int fd_;
  std::string pending_;
};

// A second host: network, mount and UTS namespaces of its own, held by a process that sleeps
// there, joined to the sandbox ("relayhost" there) by a veth pair (LINK0 here, LINK1 there, on
// NET.1 and NET.ID; its route for multicast is LINK1), and named NAME in both hosts files. Its
// own, /tmp/far-hosts.LINK, gives NAME as Debian does (127.0.1.1) or, if not debian, NET.ID.
// With a BRIDGE, LINK0 is a port of that bridge (made, with NET.1, by the first host on it), so
// that several hosts share the link. All of it is undone when the object goes.
class FarHost {
 public:
  explicit FarHost(const std::string& name = "farhost", const std::string& link = "vfar",
                   const std::string& net = "10.201.0", bool debian = true,
                   const std::string& bridge = "", int id = 2);
  ~FarHost();
  // One more link, as the first is made: LINK1 on NET.ID there.
  void add_link(const std::string& link, const std::string& net, const std::string& bridge,
                int id);
  // Runs program with args there.
  std::unique_ptr<PipedProcess> run(const std::string& program,
                                    const std::vector<std::string>& args) const;
  // A UDP socket of the far host's, bound to addr:port (any address, with any_source).
  std::unique_ptr<Udp> udp(const char* addr, int port, bool any_source = false) const;

 private:
  std::vector<std::string> links_, bridges_;
  std::string hosts_;  // this side's hosts file as it was
  std::unique_ptr<PipedProcess> holder_;
  std::string pid_;
};

// Sends "Invite_vok_relay name" from client to the relay and returns the reply
// (empty when none came).
std::string invite(const Udp& client, const std::string& name, int timeout_ms = 2000);

// True when fd has something to read within timeout_ms.
bool readable(int fd, int timeout_ms);

// Resident kilobytes of a process.
long resident_kb(pid_t pid);

// Reports what failed and aborts.
[[noreturn]] void die(const char* what);

#endif
