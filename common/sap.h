// sap.h -- the header of a SAP datagram, as the relay and the client read it.
#ifndef VOK_COMMON_SAP_H
#define VOK_COMMON_SAP_H

#include <stddef.h>
#include <stdint.h>

// What a SAP header says, and where the payload after it lies in the datagram.
struct SapHeader {
  bool ipv6, deletion, encrypted, compressed;
  uint16_t hash;                // the message id hash
  const unsigned char* origin;  // the originating source: 4 bytes, 16 for IPv6
  // The optional payload type ("application/sdp"), ended by a NUL: type_len bytes, or null
  // when the payload begins with "v=" or holds no NUL.
  const char* type;
  size_t type_len;
  const char* body;  // what follows the type: the SDP, when there is one
  size_t body_len;
};

// Reads data as SAP version 1; false for another version, or when data ends
// within the origin or the authentication data.
bool sap_read(const char* data, size_t len, SapHeader* h);

#endif
