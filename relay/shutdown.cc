// shutdown.cc -- SIGINT and SIGTERM end the program, taken only while it waits, so none is lost.
#include "shutdown.h"

#include <signal.h>

namespace {

volatile sig_atomic_t quit_signal = 0;
sigset_t wait_mask;  // the mask in force during waits: the two signals open
void (*quit_action)(int) = nullptr;

void record_signal(int sig) { quit_signal = sig; }

}  // namespace

void shutdown_init(void (*quit)(int sig)) {
  quit_action = quit;
  sigset_t both;
  sigemptyset(&both);
  sigaddset(&both, SIGINT);
  sigaddset(&both, SIGTERM);
  sigprocmask(SIG_BLOCK, &both, &wait_mask);
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGTERM);

  struct sigaction sa = {};
  sa.sa_handler = record_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

int wait_readable(int nfds, fd_set* readfds, const timespec* timeout) {
  const int n = pselect(nfds, readfds, nullptr, nullptr, timeout, &wait_mask);
  if (quit_signal != 0)
    quit_action(quit_signal);
  return n;
}
