// protocol.cc -- the request words and the rule a host name must meet.
#include "common/protocol.h"

#include <string.h>

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

bool two_words(const char* text, char* first, char* second) {
  return take_word(&text, first) && take_word(&text, second);
}

bool is_reply(const char* text, size_t len, const char* name) {
  const size_t head = sizeof kReply - 1, name_len = strlen(name);
  return len == head + 1 + name_len && memcmp(text, kReply, head) == 0 && text[head] == ' ' &&
         memcmp(text + head + 1, name, name_len) == 0;
}
