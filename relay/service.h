// service.h -- what the service manager (systemd) is told: ready, a line of status, alive,
// stopping. Without NOTIFY_SOCKET in the environment nothing is sent.
#ifndef VOK_RELAY_SERVICE_H
#define VOK_RELAY_SERVICE_H

#include <functional>
#include <string>

class Service {
 public:
  static const long long kStatusPauseMs = 1000;  // the status is told at most this often

  // Learns whether a watchdog wants pings, and how often; ready() follows at once.
  void open(long long now);
  // The ports are bound and the kept clients restored.
  void ready(const std::string& status);
  // The status has changed: told within kStatusPauseMs, once for any number of changes.
  void changed() { changed_ = true; }
  // Pings the watchdog and tells the status (line() makes it) where due; when the next is due.
  long long run(long long now, const std::function<std::string()>& line);
  void stopping();

 private:
  bool enabled_ = false;      // a service manager listens
  long long ping_every_ = 0;  // half the watchdog's time; 0: no watchdog
  long long ping_due_ = 0;
  bool changed_ = false;
  long long status_due_ = 0;
  std::string told_;  // the status last told
};

#endif
