// sap.cc -- the header of a SAP datagram, as the relay and the client read it.
#include "sap.h"

#include <string.h>

bool sap_read(const char* data, size_t len, SapHeader* h) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  if (len < 4 || (p[0] >> 5) != 1)
    return false;
  h->ipv6 = (p[0] & 0x10) != 0;
  h->deletion = (p[0] & 0x04) != 0;
  h->encrypted = (p[0] & 0x02) != 0;
  h->compressed = (p[0] & 0x01) != 0;
  h->hash = static_cast<uint16_t>((p[2] << 8) | p[3]);
  h->origin = p + 4;
  const size_t header = 4 + (h->ipv6 ? 16 : 4) + 4 * static_cast<size_t>(p[1]);  // p[1]: words
  if (len < header)
    return false;
  h->body = data + header;
  h->body_len = len - header;
  h->type = nullptr;
  h->type_len = 0;
  const void* nul = memchr(h->body, '\0', h->body_len);
  if (nul != nullptr && !(h->body_len >= 2 && h->body[0] == 'v' && h->body[1] == '=')) {
    h->type = h->body;
    h->type_len = static_cast<size_t>(static_cast<const char*>(nul) - h->body);
    h->body += h->type_len + 1;
    h->body_len -= h->type_len + 1;
  }
  return true;
}
