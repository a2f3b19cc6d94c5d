// The hpgl-info command-line tool.
#include "helpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/wait.h>

namespace {

using hpgs_test::ToolRun;

ToolRun run_tool(const std::string &args) { return hpgs_test::run_tool("hpgl-info", args); }

TEST(HpgsHpglInfo, PrintsPlotSizeAndCommandCounts) {
  ToolRun r = run_tool(hpgs_test::data_file("syn_pe_encoded.hpgl"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("plot size: 27.638 38.976 574.016 363.543 pt"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  PE          5"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("warnings: 0"), std::string::npos);
}

TEST(HpgsHpglInfo, MultipageListsEveryPage) {
  ToolRun r = run_tool("-m " + hpgs_test::data_file("syn_pjl_frame.hpgl"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("page 1:"), std::string::npos) << r.out;
}

TEST(HpgsHpglInfo, MissingFileAndBadUsageFail) {
  ToolRun r = run_tool("/nonexistent/plan.plt");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("/nonexistent/plan.plt"), std::string::npos);
  EXPECT_EQ(run_tool("").status, 2);
  EXPECT_EQ(run_tool("-x file").status, 2);
}

}  // namespace
