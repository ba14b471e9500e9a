// request.h -- acting on a control request: a listener admitted or removed.
#ifndef VOK_RELAY_REQUEST_H
#define VOK_RELAY_REQUEST_H

#include "common/protocol.h"

class EventsDismisser;
class Listener;

enum class RequestResult { kIgnored, kAdmitted, kRefused, kRemoved };

// Acts on a request: an invitation offers ed a new client listener at port
// (kRefused when ed turns it down, and the listener is released), a stop
// removes one and hands it back in *removed, for the caller to release.
RequestResult apply_request(const Request& r, EventsDismisser& ed, int port, Listener** removed);

#endif
