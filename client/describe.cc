// describe.cc -- one readable line for a datagram that a relay delivers.
#include "describe.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "common/sap.h"

namespace {

const size_t kFieldMax = 80;

// text with every byte that is not printable ASCII shown as '?', cut to kFieldMax.
std::string printable(const char* text, size_t len) {
  std::string out;
  for (size_t i = 0; i < len && out.size() < kFieldMax; ++i)
    out += text[i] >= 0x20 && text[i] < 0x7f ? text[i] : '?';
  return out;
}

// The value of SDP line "key=" (first one), or "".
std::string sdp_field(const char* sdp, size_t len, char key) {
  for (size_t i = 0; i + 1 < len; ++i) {
    if ((i == 0 || sdp[i - 1] == '\n') && sdp[i] == key && sdp[i + 1] == '=') {
      size_t end = i + 2;
      while (end < len && sdp[end] != '\r' && sdp[end] != '\n')
        ++end;
      return printable(sdp + i + 2, end - i - 2);
    }
  }
  return "";
}

std::string describe_sdp(const char* sdp, size_t len) {
  if (len < 2 || sdp[0] != 'v' || sdp[1] != '=')
    return "no SDP";
  return "s=" + sdp_field(sdp, len, 's') + " | o=" + sdp_field(sdp, len, 'o') +
         " | c=" + sdp_field(sdp, len, 'c');
}

std::string hex_prefix(const unsigned char* data, size_t len) {
  std::string out;
  char byte[4];
  for (size_t i = 0; i < len && i < 16; ++i) {
    snprintf(byte, sizeof byte, "%02x", data[i]);
    out += byte;
  }
  return out + (len > 16 ? "..." : "");
}

// A SAP announcement or deletion, or "" when data is not one.
std::string describe_sap(const char* data, size_t len) {
  SapHeader h;
  if (!sap_read(data, len, &h))
    return "";
  char source[INET6_ADDRSTRLEN];
  inet_ntop(h.ipv6 ? AF_INET6 : AF_INET, h.origin, source, sizeof source);
  char head[128];
  snprintf(head, sizeof head, "SAP v1 %s hash 0x%04x from %s: ", h.deletion ? "delete" : "announce",
           h.hash, source);
  if (h.encrypted || h.compressed)
    return head + std::string(h.encrypted ? "encrypted" : "compressed");
  return head + describe_sdp(h.body, h.body_len);
}

}  // namespace

std::string describe_datagram(const char* data, int len) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  const size_t n = len > 0 ? static_cast<size_t>(len) : 0;
  static const char zeros[8] = {};
  if (n >= 8 && memcmp(data, zeros, 8) == 0)
    return "cached: " + describe_sdp(data + 8, n - 8);
  const std::string sap = describe_sap(data, n);
  if (!sap.empty())
    return sap;
  return std::to_string(n) + " bytes: " + hex_prefix(p, n);
}
