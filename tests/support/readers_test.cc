// The readers whose mistakes would pass unseen in every black-box test: a journal line misread,
// or a sample taken from the wrong series, makes tests compare the wrong things.
#include <gtest/gtest.h>

#include "http_get.h"
#include "pvsim.h"
#include "scratch_dir.h"

namespace {

using testsupport::PvsimRequest;

TEST(ReadersTest, JournalIsReadAsItGrowsWithItsEscapesAndOnlyWholeLines) {
  testsupport::ScratchDir dir("readers");
  std::string path = dir.File("journal");
  testsupport::PvsimJournal journal(path);
  EXPECT_TRUE(journal.ReadNew().empty());  // no file yet
  std::string first =
      R"({"time":1.5,"answered":1.75,"auth":"ok","form":{"version":"1","class":"client",)"
      R"("opcode":"add","count":"1","acl":"add access-list \"kel\" x\\y\u0009z"},"status":200,"term":8589934597})"
      "\n";
  std::string refused = R"({"time":2,"conn":3,"peer":"127.0.0.1:5","event":"refused"})";
  ASSERT_TRUE(testsupport::WriteFile(path, first + refused.substr(0, 20)));
  std::vector<PvsimRequest> got = journal.ReadNew();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Text(), "add access-list \"kel\" x\\y\tz");
  EXPECT_EQ(got[0].klass, "client");
  EXPECT_EQ(got[0].auth, "ok");
  EXPECT_EQ(got[0].status, 200);
  EXPECT_DOUBLE_EQ(got[0].answered, 1.75);
  EXPECT_EQ(got[0].term, 8589934597);  // past 32 bits
  // The rest of the half-written line, then a reset request.
  ASSERT_TRUE(testsupport::WriteFile(
      path, first + refused + "\n" +
                R"({"answered":3,"form":{"class":"quarantine","opcode":"reset"},"status":401})" +
                "\n"));
  got = journal.ReadNew();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].event, "refused");
  EXPECT_EQ(got[0].status, 0);
  EXPECT_EQ(got[0].term, 0);  // no header, no term
  EXPECT_EQ(got[1].Text(), "quarantine reset");
  EXPECT_EQ(got[1].status, 401);
}

TEST(ReadersTest, MetricSampleTakesExactlyTheNamedSeries) {
  std::string text =
      "# HELP x_total_runs A.\n"
      "x_total_runs 7\n"
      "y{a=\"1\"} 3\n"
      "x_total 2.5\n"
      "z 1e3\n";
  EXPECT_EQ(testsupport::MetricSample(text, "x_total"), 2.5);
  EXPECT_EQ(testsupport::MetricSample(text, "x_total_runs"), 7);
  EXPECT_EQ(testsupport::MetricSample(text, "y{a=\"1\"}"), 3);
  EXPECT_EQ(testsupport::MetricSample(text, "z"), 1000);
  EXPECT_EQ(testsupport::MetricSample(text, "y"), -1);
  EXPECT_EQ(testsupport::MetricSample(text, "A."), -1);
}

}  // namespace
