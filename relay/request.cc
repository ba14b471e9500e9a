// request.cc -- acting on a control request: a listener admitted or removed.
#include "request.h"

#include <string.h>

#include "EventsDismisser.h"
#include "VokListner.h"

RequestResult apply_request(const Request& r, EventsDismisser& ed, int port, Listener** removed) {
  if (strcmp(r.cmd, kInvite) == 0) {
    VokListner* l = VokListner::make(r.name, port);
    if (ed.new_listener(l))
      return RequestResult::kAdmitted;
    delete l;
    return RequestResult::kRefused;
  }
  if (strcmp(r.cmd, kStop) == 0 && ed.remove_listener(r.name, removed))
    return RequestResult::kRemoved;
  return RequestResult::kIgnored;
}
