// describe.h -- one readable line for a datagram that a relay delivers.
#ifndef VOK_CLIENT_DESCRIBE_H
#define VOK_CLIENT_DESCRIBE_H

#include <string>

// A SAP announcement: its version, announce or delete, message id hash,
// originating source and SDP session name, origin and connection; a replayed
// cache entry (8 zero bytes first): its SDP fields, marked as cached; anything
// else: its length and the first bytes in hex. Never longer than a few hundred
// characters, and never holds a control character.
std::string describe_datagram(const char* data, int len);

#endif
