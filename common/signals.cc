// signals.cc -- the program's waits, with signals taken only there so none is lost.
#include "common/signals.h"

#include <signal.h>

namespace {

volatile sig_atomic_t quit_received = 0;
volatile sig_atomic_t stats_signal = 0;
sigset_t wait_mask;  // the mask in force during waits: the signals open
void (*quit_action)(int) = nullptr;

void record_signal(int sig) {
  if (sig == SIGUSR1)
    stats_signal = 1;
  else
    quit_received = sig;
}

}  // namespace

void shutdown_init(void (*quit)(int sig)) {
  quit_action = quit;
  const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR1};
  sigset_t all;
  sigemptyset(&all);
  for (int sig : signals)
    sigaddset(&all, sig);
  sigprocmask(SIG_BLOCK, &all, &wait_mask);
  struct sigaction sa = {};
  sa.sa_handler = record_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : signals) {
    sigdelset(&wait_mask, sig);
    sigaction(sig, &sa, nullptr);
  }
}

int wait_readable(int nfds, fd_set* readfds, long long timeout_ms) {
  const timespec timeout = {static_cast<time_t>(timeout_ms / 1000),
                            (timeout_ms % 1000) * 1000000L};
  const int n = pselect(nfds, readfds, nullptr, nullptr, &timeout, &wait_mask);
  if (quit_received != 0 && quit_action != nullptr)
    quit_action(quit_received);
  return n;
}

int quit_signal() { return quit_received; }

bool stats_requested() {
  const bool asked = stats_signal != 0;
  stats_signal = 0;
  return asked;
}

long long now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}
