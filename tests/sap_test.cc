// sap_test.cc -- SAP headers as the client describes them and the relay remembers them.
#include <string>

#include <gtest/gtest.h>

#include "describe.h"
#include "sap_datagram.h"
#include "sessions.h"

namespace {

const std::string kSdp =
    "v=0\r\no=alice 2890844526 2890842807 IN IP4 10.0.0.9\r\ns=Seminar\r\n"
    "c=IN IP4 224.2.17.12/127\r\nt=0 0\r\n";

TEST(SapTest, ReadOnceForTheClientsLineAndTheRelaysSessions) {
  std::string hex16;
  for (int i = 0; i < 16; ++i)
    hex16 += "7f";
  const std::string sdp_line = "s=Seminar | o=alice 2890844526 2890842807 IN IP4 10.0.0.9 | "
                               "c=IN IP4 224.2.17.12/127";
  const std::string v4 = "SAP v1 announce hash 0x1234 from 10.0.0.1: ";
  const std::string typed = "application/sdp" + std::string(1, '\0');
  const std::string text = "text/plain" + std::string(1, '\0') + "hello";
  const struct {
    std::string data, line;
    SapKind kind;
  } cases[] = {
      {sap_datagram(0x20, 0x1234, "10.0.0.1", typed + kSdp), v4 + sdp_line, SapKind::kAnnounce},
      {sap_datagram(0x24, 0x1234, "10.0.0.1", kSdp, 1),  // authentication data skipped
       "SAP v1 delete hash 0x1234 from 10.0.0.1: " + sdp_line, SapKind::kDelete},
      {sap_datagram(0x30, 0x1234, "::", kSdp), "SAP v1 announce hash 0x1234 from ::: " + sdp_line,
       SapKind::kAnnounce},
      {sap_datagram(0x22, 0x1234, "10.0.0.1", "secret"), v4 + "encrypted", SapKind::kNotSap},
      {sap_datagram(0x21, 0x1234, "10.0.0.1", "x\x9c"), v4 + "compressed", SapKind::kNotSap},
      {sap_datagram(0x20, 0x1234, "10.0.0.1", text), v4 + "no SDP", SapKind::kNotSap},
      {sap_datagram(0x24, 0x1234, "10.0.0.1", text),  // whatever a deletion carries
       "SAP v1 delete hash 0x1234 from 10.0.0.1: no SDP", SapKind::kDelete},
      {std::string(8, '\0') + kSdp, "cached: " + sdp_line, SapKind::kNotSap},
      {sap_datagram(0x20, 0x1234, "10.0.0.1", "", 200).substr(0, 8), "8 bytes: 20c812340a000001",
       SapKind::kNotSap},  // cut short
      {"", "0 bytes: ", SapKind::kNotSap},
      {std::string(8, '\0') + "v=0\ns=\x1b[2Jevil\x07\x7f\n", "cached: s=?[2Jevil?? | o= | c=",
       SapKind::kNotSap},
      {std::string(8, '\0') + "v=0\ns=" + std::string(500, 'x') + "\n",
       "cached: s=" + std::string(80, 'x') + " | o= | c=", SapKind::kNotSap},  // fields are cut
      {std::string(17, '\x7f'), "17 bytes: " + hex16 + "...", SapKind::kNotSap},  // version 3
  };
  for (const auto& c : cases) {
    const int len = static_cast<int>(c.data.size());
    SessionKey key;
    EXPECT_EQ(c.line, describe_datagram(c.data.data(), len)) << testing::PrintToString(c.data);
    EXPECT_EQ(c.kind, sap_key(c.data.data(), len, &key)) << testing::PrintToString(c.data);
  }
}

}  // namespace
