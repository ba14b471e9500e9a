// request.cc -- splitting a control request into its keyword and host name.
#include "request.h"

#include <string.h>

#include "EventsDismisser.h"
#include "VokListner.h"

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Copies the word at *text into word and moves *text past it; false when
// there is no word or it does not fit.
bool take_word(const char** text, char* word) {
  const char* p = *text;
  while (is_space(*p))
    ++p;
  const char* start = p;
  while (*p != '\0' && !is_space(*p))
    ++p;
  const size_t len = static_cast<size_t>(p - start);
  if (!printable_word(start, len))
    return false;
  memcpy(word, start, len);
  word[len] = '\0';
  *text = p;
  return true;
}

}  // namespace

bool printable_word(const char* word, size_t len) {
  if (len == 0 || len > Request::kWordMax)
    return false;
  for (size_t i = 0; i < len; ++i) {
    if (word[i] < 0x21 || word[i] > 0x7e)
      return false;
  }
  return true;
}

bool parse_request(const char* text, Request* r) {
  return take_word(&text, r->cmd) && take_word(&text, r->name);
}

RequestResult apply_request(const Request& r, EventsDismisser& ed, int port, Listener** removed) {
  if (strcmp(r.cmd, "Invite_vok_relay") == 0) {
    VokListner* l = VokListner::make(r.name, port);
    if (ed.new_listener(l))
      return RequestResult::kAdmitted;
    delete l;
    return RequestResult::kRefused;
  }
  if (strcmp(r.cmd, "Stop_vok_relay") == 0 && ed.remove_listener(r.name, removed))
    return RequestResult::kRemoved;
  return RequestResult::kIgnored;
}
