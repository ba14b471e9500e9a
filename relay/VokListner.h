// VokListner.h -- a client host and port that relayed datagrams are sent to.
#ifndef VOK_RELAY_VOK_LISTNER_H
#define VOK_RELAY_VOK_LISTNER_H

#include <stdio.h>

#include "EventsDismisser.h"

class VokListner : public Listener {
 public:
  // Longest host name a listener can carry; longer names are refused, never
  // cut, since a cut name would be some other host.
  static const int kMaxId = 31;

  // A new listener, or null when name is empty or longer than kMaxId.
  static VokListner* make(const char* name, int port);

  // Where each send's trace line goes; null for nowhere.
  static FILE* trace;

  void send_msg(int fd, const char* msg, int len) override;
  const char* get_id() const override { return id; }
  int get_port() const { return port; }

 private:
  VokListner(const char* name, int port);

  char id[kMaxId + 1];
  int port;
};

#endif
