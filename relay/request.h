// request.h -- splitting a control request into its keyword and host name.
#ifndef VOK_RELAY_REQUEST_H
#define VOK_RELAY_REQUEST_H

#include <stddef.h>

struct Request {
  static const int kWordMax = 31;
  char cmd[kWordMax + 1];
  char name[kWordMax + 1];
};

class EventsDismisser;

// True for a word a name may be: 1 to kWordMax bytes of printable ASCII, no
// blank. No host has any other name, and a name goes into the log as it is.
bool printable_word(const char* word, size_t len);

// Fills r from the first two white-space separated words of text; later words
// are ignored. False, with r undefined, when there are fewer than two words or
// either of them is not a printable_word.
bool parse_request(const char* text, Request* r);

enum class RequestResult { kIgnored, kAdmitted, kRefused, kRemoved };

class Listener;

// Acts on a request: an invitation offers ed a new client listener at port
// (kRefused when ed turns it down, and the listener is released), a stop
// removes one and hands it back in *removed, for the caller to release.
RequestResult apply_request(const Request& r, EventsDismisser& ed, int port, Listener** removed);

#endif
