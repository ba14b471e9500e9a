// address.h -- an address and its family, and the one reader of an address written out.
#ifndef VOK_COMMON_ADDRESS_H
#define VOK_COMMON_ADDRESS_H

#include <netinet/in.h>

#include <string>

struct Address {
  int family = 0;                // AF_INET; 0: no address
  unsigned char bytes[16] = {};  // network byte order; IPv4 takes the first four

  static Address ipv4(in_addr_t addr);
  // The IPv4 address (network byte order), or 0 for another family or none.
  in_addr_t v4() const;
  bool empty() const { return family == 0; }
  bool operator==(const Address& o) const;
  bool operator!=(const Address& o) const { return !(*this == o); }
  // The address written out, or "no address".
  std::string text() const;
};

// Reads a dotted quad (four decimal parts and nothing looser, as hosts files and the options
// write addresses) into *out; false for any other text.
bool parse_address(const char* text, Address* out);

#endif
