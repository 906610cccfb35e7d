#include "pvsim_table.h"

#include <gtest/gtest.h>

#include "scratch_dir.h"

namespace {

using Form = std::vector<std::pair<std::string, std::string>>;

Form Set(const std::string& cls, const std::string& acl) {
  return {{"version", "1"}, {"class", cls}, {"opcode", "set"}, {"count", "1"}, {"acl", acl}};
}
Form Reset(const std::string& cls) {
  return {{"version", "1"}, {"class", cls}, {"opcode", "reset"}, {"count", "0"}};
}

std::string Contents(const testsupport::ScratchDir& dir) { return dir.Read("table").value_or("?"); }

TEST(PvsimTable, KeepsCopiesPerClassCountsMissingDeletesAndWritesSortedFile) {
  testsupport::ScratchDir dir;
  const std::string path = dir.File("table");
  pvsim::Table table(path);
  ASSERT_TRUE(table.Save());
  EXPECT_EQ(Contents(dir), "# deletes of lines not held: 0\n");

  EXPECT_TRUE(table.Apply(Set("quarantine", "add access-list kel accept source 10.0.0.2")));
  EXPECT_TRUE(table.Apply(Set("quarantine", "add access-list kel accept source 10.0.0.1")));
  EXPECT_TRUE(table.Apply(Set("quarantine", "add access-list kel accept source 10.0.0.1")));
  EXPECT_TRUE(table.Apply(Set("client", "insert access-list pc accept source 10.0.0.1")));
  EXPECT_EQ(Contents(dir),
            "# deletes of lines not held: 0\n"
            "client access-list pc accept source 10.0.0.1\n"
            "quarantine access-list kel accept source 10.0.0.1\n"
            "quarantine access-list kel accept source 10.0.0.1\n"
            "quarantine access-list kel accept source 10.0.0.2\n");

  // One delete removes one copy; a delete of a line the class does not hold is only counted.
  EXPECT_TRUE(table.Apply(Set("quarantine", "delete access-list kel accept source 10.0.0.1")));
  EXPECT_TRUE(table.Apply(Set("client", "delete access-list kel accept source 10.0.0.2")));
  // A reset clears its own class only; requests without a line or verb change nothing.
  EXPECT_TRUE(table.Apply(Reset("client")));
  EXPECT_FALSE(table.Apply(Set("client", "")));
  EXPECT_FALSE(table.Apply(Set("client", "modify access-list pc accept")));
  EXPECT_FALSE(table.Apply({{"class", "client"}, {"opcode", "get"}}));
  EXPECT_EQ(Contents(dir),
            "# deletes of lines not held: 1\n"
            "quarantine access-list kel accept source 10.0.0.1\n"
            "quarantine access-list kel accept source 10.0.0.2\n");
  EXPECT_EQ(table.Text(), Contents(dir));
}

}  // namespace
