// protocol.h -- what the relay and its client agree on: the ports, the group, the request
// words, the rule a host name must meet, and the longest datagram relayed.
#ifndef VOK_COMMON_PROTOCOL_H
#define VOK_COMMON_PROTOCOL_H

#include <stddef.h>

const int kRequestPort = 6012;   // requests in, replies and everything relayed out
const int kAnnouncePort = 9875;  // SAP, and where clients receive
const char kSapGroup[] = "224.2.127.254";
const int kDatagramMax = 2048;  // longer datagrams are cut to this
const char kInvite[] = "Invite_vok_relay";
const char kStop[] = "Stop_vok_relay";
const char kReply[] = "Reply Invite_vok_relay";  // followed by a space and the name

struct Request {
  static const int kWordMax = 31;
  char cmd[kWordMax + 1];
  char name[kWordMax + 1];
};

// True for a word a name may be: 1 to kWordMax bytes of printable ASCII, no
// blank. No host has any other name, and a name goes into the log as it is.
bool printable_word(const char* word, size_t len);

// Copies the first two white-space separated words of text into first and
// second (kWordMax + 1 bytes each); later words are ignored. False, with both
// undefined, when there are fewer than two words or either of them is not a
// printable_word.
bool two_words(const char* text, char* first, char* second);

// True when text (len bytes, not NUL-ended) is the answer to an invitation
// for name: "Reply Invite_vok_relay NAME", nothing more.
bool is_reply(const char* text, size_t len, const char* name);

// A request's keyword and host name, as two_words finds them.
inline bool parse_request(const char* text, Request* r) {
  return two_words(text, r->cmd, r->name);
}

#endif
