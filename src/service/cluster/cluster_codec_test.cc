// The settings of section CLUSTER and the records as etcd holds them.
#include <gtest/gtest.h>

#include "common/address_util.h"
#include "service/cluster/cluster_settings.h"
#include "service/cluster/record_codec.h"
#include "service/registry/kel_data.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_data.h"
#include "service/registry/pvroute_data.h"
#include "service/registry/quarantine_data.h"

namespace {

bool Parse(const std::string& etcd, const std::string& lease, ClusterSettings* out,
           std::string* error, const std::string& prefix = "") {
  return ParseClusterSettings(etcd, "a", prefix, lease, "", "", "", out, error);
}

TEST(ClusterSettingsTest, BadValuesNameTheKeyAndNeverFallBackToStandalone) {
  ClusterSettings s;
  std::string error;
  ASSERT_TRUE(Parse("", "", &s, &error));
  EXPECT_FALSE(s.enabled);
  ASSERT_TRUE(Parse(" http://127.0.0.11:2379, https://etcd-2:2379 ", "", &s, &error));
  EXPECT_TRUE(s.enabled);
  EXPECT_EQ(s.endpoints,
            (std::vector<std::string>{"http://127.0.0.11:2379", "https://etcd-2:2379"}));
  EXPECT_EQ(s.leaseSeconds, 5);
  EXPECT_EQ(s.prefix, "/vokelmng/");
  const struct {
    std::string etcd, lease, prefix, key;
  } bad[] = {{"127.0.0.1:2379", "", "", "ETCD"},   {"http://h:2379,", "", "", "ETCD"},
             {"http://h:0", "", "", "ETCD"},       {"http://h:2379/v3", "", "", "ETCD"},
             {"http://h:2379", "1", "", "LEASE"},  {"http://h:2379", "61", "", "LEASE"},
             {"http://h:2379", "5s", "", "LEASE"}, {"http://h:2379", "", "vokel/", "PREFIX"}};
  for (const auto& b : bad) {
    error.clear();
    EXPECT_FALSE(Parse(b.etcd, b.lease, &s, &error, b.prefix)) << b.etcd << " " << b.lease;
    EXPECT_NE(error.find("CLUSTER " + b.key), std::string::npos) << error;
  }
  EXPECT_FALSE(
      ParseClusterSettings("http://h:1", "a", "", "", "/nonexistent/ca.pem", "", "", &s, &error));
  EXPECT_NE(error.find("CAFILE"), std::string::npos);
}

// Every family's record comes back with the texts as typed, and the same record always has the
// same key whatever spelling was typed.
TEST(RecordCodecTest, RecordsComeBackAsTypedAndKeysFollowTheParsedFields) {
  CKelData entry;
  entry.target = kKelTargetDrop;
  entry.sourceText = "192.168.0.1";
  IsIpAddress("192.168.0.1", entry.source);
  entry.macText = "00:0a:95:9d:68:16";
  ParseMacAddress(entry.macText.c_str(), entry.mac);
  EXPECT_EQ(RecordIdentity(CommandFamily::kKel, entry, nullptr),
            "drop/192.168.0.1/00:0A:95:9D:68:16");
  DecodedRecord decoded;
  std::string error;
  ASSERT_TRUE(DecodeRecord(CommandFamily::kKel, EncodeRecord(CommandFamily::kKel, entry, ""),
                           &decoded, &error));
  const auto& back = static_cast<const CKelData&>(*decoded.record);
  EXPECT_EQ(back.target, kKelTargetDrop);
  EXPECT_EQ(back.macText, "00:0a:95:9d:68:16");

  CPvrouteData route;
  route.devText = "eth1";
  route.networkText = "10.1.2.3";
  IsIpAddress("10.1.2.3", route.network.data());
  route.netmaskText = "255.255.0.0";
  ParseNetmask("255.255.0.0", &route.netmask);
  uint8_t router[4] = {172, 16, 0, 1};
  EXPECT_EQ(RecordIdentity(CommandFamily::kPvroute, route, router), "172.16.0.1/10.1.0.0/eth1");
  ASSERT_TRUE(DecodeRecord(CommandFamily::kPvroute,
                           EncodeRecord(CommandFamily::kPvroute, route, "172.16.0.1", 7), &decoded,
                           &error));
  EXPECT_EQ(decoded.order, 7);
  EXPECT_EQ(decoded.router[3], 1);
  EXPECT_EQ(static_cast<const CPvrouteData&>(*decoded.record).netmaskText, "255.255.0.0");

  CPvData pv;
  pv.addressText = "10.0.0.1";
  IsIpAddress("10.0.0.1", pv.address.data());
  pv.password = "p\"w,1";  // JSON holds what a file line cannot
  ASSERT_TRUE(
      DecodeRecord(CommandFamily::kPv, EncodeRecord(CommandFamily::kPv, pv, ""), &decoded, &error));
  EXPECT_EQ(static_cast<const CPvData&>(*decoded.record).password, "p\"w,1");

  for (const char* value : {"not json", "[]", "{\"source\":5,\"protocol\":\"tcp\",\"port\":\"80\"}",
                            "{\"source\":\"10.0.0.1\",\"protocol\":\"icmp\",\"port\":\"80\"}"}) {
    EXPECT_FALSE(DecodeRecord(CommandFamily::kQuarantine, value, &decoded, &error)) << value;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_FALSE(DecodeRecord(CommandFamily::kPc, "{\"source\":\"10.0.0.1\"}", &decoded, &error));
}

TEST(RecordCodecTest, KeysAreSortedIntoTheirFamilies) {
  EXPECT_EQ(FamilyOfKey("/v/", "/v/pvroute/1.2.3.4/x"), CommandFamily::kPvroute);
  EXPECT_EQ(FamilyOfKey("/v/", "/v/pv/1.2.3.4"), CommandFamily::kPv);
  EXPECT_EQ(FamilyOfKey("/v/", "/v/meta/leader"), CommandFamily::kNone);
  EXPECT_EQ(FamilyOfKey("/v/", "/w/pv/1.2.3.4"), CommandFamily::kNone);
}

}  // namespace
