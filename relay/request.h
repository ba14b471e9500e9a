// request.h -- splitting a control request into its keyword and host name.
#ifndef VOK_RELAY_REQUEST_H
#define VOK_RELAY_REQUEST_H

struct Request {
  static const int kWordMax = 31;
  char cmd[kWordMax + 1];
  char name[kWordMax + 1];
};

// Fills r from the first two white-space separated words of text; later words
// are ignored. False, with r undefined, when there are fewer than two words or
// either of them is longer than kWordMax.
bool parse_request(const char* text, Request* r);

#endif
