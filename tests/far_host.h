// far_host.h -- a second host for the tests: network and mount namespaces of its own, joined
// to the sandbox by a veth pair. The sandbox is kNearAddr on it, the far host kFarAddr.
#ifndef VOK_TESTS_FAR_HOST_H
#define VOK_TESTS_FAR_HOST_H

#include <sys/types.h>

#include <string>
#include <vector>

class FarHost {
 public:
  static const char kNearAddr[];
  static const char kFarAddr[];

  // hosts: the far host's /etc/hosts (the sandbox's when empty). Aborts when
  // it cannot be built.
  explicit FarHost(const std::string& hosts = "");
  ~FarHost();
  FarHost(const FarHost&) = delete;
  FarHost& operator=(const FarHost&) = delete;

  // The program and first arguments that run a command on the far host.
  std::vector<std::string> enter(const std::vector<std::string>& command) const;
  // Runs a shell command there; its exit status.
  int run(const std::string& command) const;

 private:
  pid_t pid_;
};

#endif
