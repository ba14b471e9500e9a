// sap_test.cc -- the client's one-line description of relayed datagrams.
#include <string>

#include <gtest/gtest.h>

#include "sap.h"

namespace {

const std::string kSdp =
    "v=0\r\no=alice 2890844526 2890842807 IN IP4 10.0.0.9\r\ns=Seminar\r\n"
    "c=IN IP4 224.2.17.12/127\r\nt=0 0\r\n";

// A SAP header: flags byte, authentication length in words, hash, source.
std::string sap(unsigned char flags, unsigned char auth_words, const std::string& source) {
  return std::string{static_cast<char>(flags), static_cast<char>(auth_words), 0x12, 0x34} + source +
         std::string(4u * auth_words, 'A');
}

TEST(SapTest, DescribesAnnouncementsCacheEntriesAndAnythingElse) {
  const std::string v4("\x0a\x00\x00\x01", 4), v6(16, '\0');
  std::string hex16;
  for (int i = 0; i < 16; ++i)
    hex16 += "7f";
  const std::string sdp_line = "s=Seminar | o=alice 2890844526 2890842807 IN IP4 10.0.0.9 | "
                               "c=IN IP4 224.2.17.12/127";
  const struct {
    std::string data, line;
  } cases[] = {
      {sap(0x20, 0, v4) + "application/sdp" + '\0' + kSdp,
       "SAP v1 announce hash 0x1234 from 10.0.0.1: " + sdp_line},
      {sap(0x24, 1, v4) + kSdp, "SAP v1 delete hash 0x1234 from 10.0.0.1: " + sdp_line},
      {sap(0x30, 0, v6) + kSdp, "SAP v1 announce hash 0x1234 from ::: " + sdp_line},
      {sap(0x22, 0, v4) + "secret", "SAP v1 announce hash 0x1234 from 10.0.0.1: encrypted"},
      {sap(0x21, 0, v4) + "x\x9c", "SAP v1 announce hash 0x1234 from 10.0.0.1: compressed"},
      {sap(0x20, 0, v4) + "text/plain" + '\0' + "hello",
       "SAP v1 announce hash 0x1234 from 10.0.0.1: no SDP"},
      {std::string(8, '\0') + kSdp, "cached: " + sdp_line},
      {std::string("\x20\xc8\x12\x34", 4) + v4, "8 bytes: 20c812340a000001"},  // cut short
      {"", "0 bytes: "},
      {std::string(8, '\0') + "v=0\ns=\x1b[2Jevil\x07\x7f\n", "cached: s=?[2Jevil?? | o= | c="},
      {std::string(8, '\0') + "v=0\ns=" + std::string(500, 'x') + "\n",
       "cached: s=" + std::string(80, 'x') + " | o= | c="},  // fields are cut
      {std::string(17, '\x7f'), "17 bytes: " + hex16 + "..."},  // 16 shown
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.line, describe_datagram(c.data.data(), static_cast<int>(c.data.size())))
        << testing::PrintToString(c.data);
}

}  // namespace
