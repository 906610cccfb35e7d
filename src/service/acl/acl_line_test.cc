#include "service/acl/acl_line.h"

#include <gtest/gtest.h>

namespace {

AclLine Line(uint32_t opcode, const char* name, uint32_t action) {
  AclLine line;
  line.opcode = static_cast<LineOpcode>(opcode);
  line.name = name;
  line.action = action;
  return line;
}

TEST(AclLineTest, BuildsTheLinesThePlanningSends) {
  AclLine kel = Line(1, "kel", 1);
  kel.source = "192.168.0.1";
  kel.sourceMac = "00:00:00:00:00:00";
  ASSERT_EQ(kel.MakeAcl(), 0);
  EXPECT_EQ(kel.text, "add access-list kel accept source 192.168.0.1 source-mac 00:00:00:00:00:00");

  AclLine back = Line(3, "kel", 1);
  back.destination = "192.168.0.1";
  ASSERT_EQ(back.MakeAcl(), 0);
  EXPECT_EQ(back.text, "delete access-list kel accept destination 192.168.0.1");

  AclLine pc = Line(1, "pc", 1);
  pc.dport = "4208";  // set out of order on purpose: the builder fixes the order
  pc.sourceMac = "00:00:00:00:00:00";
  pc.destination = "172.17.254.254";
  pc.source = "192.168.0.1";
  pc.protocol = "tcp";
  ASSERT_EQ(pc.MakeAcl(), 0);
  EXPECT_EQ(pc.text,
            "add access-list pc accept protocol tcp source 192.168.0.1 destination "
            "172.17.254.254 dport 4208 source-mac 00:00:00:00:00:00");

  AclLine pcBack = Line(1, "pc", 1);
  pcBack.protocol = "tcp";
  pcBack.source = "172.17.254.254";
  pcBack.destination = "192.168.0.0/24";
  pcBack.sport = "4208";
  ASSERT_EQ(pcBack.MakeAcl(), 0);
  EXPECT_EQ(pcBack.text,
            "add access-list pc accept protocol tcp source 172.17.254.254 destination "
            "192.168.0.0/24 sport 4208");

  AclLine iface = Line(1, "kel", 2);
  iface.dport = "80";
  iface.source = "10.0.0.1";
  iface.out = "Y";
  iface.in = "X";
  iface.log = 1;
  ASSERT_EQ(iface.MakeAcl(), 0);
  EXPECT_EQ(iface.text, "add access-list kel drop in X out Y source 10.0.0.1 dport 80 log");
}

TEST(AclLineTest, DefaultNameAndBareLines) {
  AclLine line = Line(3, "", 2);
  ASSERT_EQ(line.MakeAcl(), 0);
  EXPECT_EQ(line.text, "delete access-list VoKelMng drop");
  EXPECT_EQ(line.name, "VoKelMng");

  AclLine logged = Line(2, "x", 1);
  logged.log = 7;
  ASSERT_EQ(logged.MakeAcl(), 0);
  EXPECT_EQ(logged.text, "insert access-list x accept log");
  AclLine modify = Line(4, "x", 1);
  ASSERT_EQ(modify.MakeAcl(), 0);
  EXPECT_EQ(modify.text, "modify access-list x accept");
}

TEST(AclLineTest, RefusesUnknownOpcodeOrAction) {
  for (uint32_t opcode : {0u, 5u, 0xFFFFFFFFu}) {
    AclLine line = Line(opcode, "kel", 1);
    EXPECT_EQ(line.MakeAcl(), -1) << opcode;
  }
  for (uint32_t action : {0u, 3u}) {
    AclLine line = Line(1, "kel", action);
    EXPECT_EQ(line.MakeAcl(), -1) << action;
  }
}

TEST(AclLineTest, ProtocolCheckKeepsOrDropsOnlyTheProtocolPart) {
  struct Case {
    const char* protocol;
    const char* expected;
  };
  const Case cases[] = {
      {"ospf", "add access-list pc accept protocol ospf source 1.2.3.4"},
      {"89", "add access-list pc accept protocol 89 source 1.2.3.4"},
      {"0", "add access-list pc accept protocol 0 source 1.2.3.4"},
      {"255", "add access-list pc accept protocol 255 source 1.2.3.4"},
      {"udp ", "add access-list pc accept protocol udp  source 1.2.3.4"},
      {"TCP", "add access-list pc accept protocol TCP source 1.2.3.4"},
      {" 17x", "add access-list pc accept protocol  17x source 1.2.3.4"},
      {"256", "add access-list pc accept source 1.2.3.4"},
      {"300", "add access-list pc accept source 1.2.3.4"},
      {"-1", "add access-list pc accept source 1.2.3.4"},
      {"99999999999999999999", "add access-list pc accept source 1.2.3.4"},
  };
  for (const Case& c : cases) {
    AclLine line = Line(1, "pc", 1);
    line.protocol = c.protocol;
    line.source = "1.2.3.4";
    ASSERT_EQ(line.MakeAcl(), 0);
    EXPECT_EQ(line.text, c.expected) << "protocol '" << c.protocol << "'";
  }
}

}  // namespace
