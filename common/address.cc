// address.cc -- an address and its family, and the one reader of an address written out.
#include "address.h"

#include <arpa/inet.h>
#include <string.h>

Address Address::ipv4(in_addr_t addr) {
  Address a;
  a.family = AF_INET;
  memcpy(a.bytes, &addr, sizeof addr);
  return a;
}

in_addr_t Address::v4() const {
  in_addr_t addr = 0;
  if (family == AF_INET)
    memcpy(&addr, bytes, sizeof addr);
  return addr;
}

bool Address::operator==(const Address& o) const {
  return family == o.family && memcmp(bytes, o.bytes, sizeof bytes) == 0;
}

std::string Address::text() const {
  char out[INET6_ADDRSTRLEN];
  return family != 0 && inet_ntop(family, bytes, out, sizeof out) != nullptr ? out : "no address";
}

bool parse_address(const char* text, Address* out) {
  Address a;
  a.family = AF_INET;
  if (inet_pton(AF_INET, text, a.bytes) != 1)
    return false;
  *out = a;
  return true;
}
