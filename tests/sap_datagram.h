// sap_datagram.h -- SAP datagrams as the tests send them.
#ifndef VOK_TESTS_SAP_DATAGRAM_H
#define VOK_TESTS_SAP_DATAGRAM_H

#include <arpa/inet.h>
#include <stdint.h>

#include <string>

// Flags (0x20 announces, 0x24 deletes, 0x10 marks an IPv6 origin), the message id hash, the
// origin's text, authentication data of auth_words words, then the payload as it is.
inline std::string sap_datagram(uint8_t flags, uint16_t hash, const char* origin,
                                const std::string& payload, uint8_t auth_words = 0) {
  unsigned char addr[16] = {};
  const bool ipv6 = (flags & 0x10) != 0;
  inet_pton(ipv6 ? AF_INET6 : AF_INET, origin, addr);
  return std::string{static_cast<char>(flags), static_cast<char>(auth_words),
                     static_cast<char>(hash >> 8), static_cast<char>(hash & 0xff)} +
         std::string(reinterpret_cast<const char*>(addr), ipv6 ? 16 : 4) +
         std::string(4u * auth_words, 'A') + payload;
}

#endif
