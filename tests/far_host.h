// far_host.h -- a second host for the tests, "farhost": network, mount and UTS namespaces of
// its own, joined to the sandbox by a veth pair, with a Debian-style /etc/hosts (its own name
// on 127.0.1.1). The sandbox is kNearAddr ("relayhost" there), the far host kFarAddr
// ("farhost" in the sandbox).
#ifndef VOK_TESTS_FAR_HOST_H
#define VOK_TESTS_FAR_HOST_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "sandbox.h"

class FarHost {
 public:
  static const char kNearAddr[];
  static const char kFarAddr[];

  // Aborts when it cannot be built.
  FarHost();
  ~FarHost();
  FarHost(const FarHost&) = delete;
  FarHost& operator=(const FarHost&) = delete;

  // Runs program with args on the far host (its log lines go nowhere).
  std::unique_ptr<PipedProcess> run(const std::string& program,
                                    const std::vector<std::string>& args) const;
  // A UDP socket of the far host's, bound to addr:port.
  std::unique_ptr<Udp> udp(const char* addr, int port) const;
  // Waits until something there has bound UDP port on all addresses.
  bool wait_bound(int port) const;

 private:
  std::unique_ptr<PipedProcess> holder_;
  pid_t pid_;
  std::string hosts_;  // the sandbox's /etc/hosts before it named the far host
};

#endif
