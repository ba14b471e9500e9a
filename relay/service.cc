// service.cc -- telling systemd how the relay is, through sd_notify.
#include "service.h"

#include <limits.h>
#include <stdlib.h>
#include <systemd/sd-daemon.h>

#include <algorithm>

void Service::open(long long now) {
  enabled_ = getenv("NOTIFY_SOCKET") != nullptr;  // else no status line is ever made
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0)
    ping_every_ = std::max<long long>(1, static_cast<long long>(usec / 2000));
  // Being ready is the first sign of life, and tells the first status.
  ping_due_ = now + ping_every_;
  status_due_ = now + kStatusPauseMs;
}

void Service::ready(const std::string& status) {
  told_ = status;
  sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
}

long long Service::run(long long now, const std::function<std::string()>& line) {
  long long next = LLONG_MAX;
  if (ping_every_ > 0) {
    if (ping_due_ <= now) {
      sd_notify(0, "WATCHDOG=1");
      ping_due_ = now + ping_every_;
    }
    next = ping_due_;
  }
  if (!enabled_)
    return next;
  if (changed_ && status_due_ <= now) {
    changed_ = false;
    status_due_ = now + kStatusPauseMs;
    const std::string status = line();
    if (status != told_)
      sd_notify(0, ("STATUS=" + status).c_str());
    told_ = status;
  } else if (changed_) {
    next = std::min(next, status_due_);
  }
  return next;
}

void Service::stopping() { sd_notify(0, "STOPPING=1"); }
