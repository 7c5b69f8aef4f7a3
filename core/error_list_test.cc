#include "core/error_list.h"

#include <gtest/gtest.h>

#include "core/log.h"

namespace ordane {
namespace {

class ErrorListTest : public ::testing::Test {
 protected:
  ErrorListTest() {
    SetLogSink([this](LogLevel, std::string_view line) { logged_.emplace_back(line); });
  }
  ~ErrorListTest() override { SetLogSink(nullptr); }
  void Report(int n) {
    list_.ErrorLabel = "ERR_Test";
    list_.ReportError(kErrGeneric, "failure " + std::to_string(n));
  }
  ErrorList list_;
  std::vector<std::string> logged_;
};

TEST_F(ErrorListTest, NewestFirstWithLabelAndTwoBlanks) {
  Report(1);
  list_.ErrorLabel = "ERR_Main_Process";
  list_.ReportError(kErrDbUnspecified, "gone");
  EXPECT_EQ(list_.Lines(), (std::vector<std::string>{"ERR_Main_Process:  gone", "ERR_Test:  failure 1"}));
  EXPECT_EQ(list_.LastErrorNumber, kErrDbUnspecified);
  ASSERT_EQ(logged_.size(), 2u);
  EXPECT_EQ(logged_[1], "ERR_Main_Process:  gone [80004005]");
}

TEST_F(ErrorListTest, NeverHoldsMoreThan256Lines) {
  for (int i = 0; i < 256; ++i) Report(i);
  EXPECT_EQ(list_.Count(), 256u);
  Report(256);  // arrives while 256 lines are held: the list is left empty
  EXPECT_EQ(list_.Count(), 0u);
  Report(257);
  EXPECT_EQ(list_.Lines(), (std::vector<std::string>{"ERR_Test:  failure 257"}));
}

TEST_F(ErrorListTest, DebugLinesOnlyWhileDebuggingAndClearedAbove200) {
  list_.DebugLine("hidden");
  EXPECT_EQ(list_.Count(), 0u);
  list_.debug = true;
  for (int i = 0; i < 201; ++i) list_.DebugLine("line " + std::to_string(i));
  EXPECT_EQ(list_.Count(), 201u);
  list_.DebugLine("next");
  EXPECT_EQ(list_.Lines(), (std::vector<std::string>{"next"}));
}

TEST_F(ErrorListTest, LostDatabaseStopsTheDriverOnlyInSqlServerMode) {
  struct Case { std::int16_t mode; std::int64_t number; bool stops; } cases[] = {
      {1, kErrDbUnspecified, true}, {1, kErrDbCommand, true},   {1, kErrDbStatement, false},
      {0, kErrDbUnspecified, false}, {2, kErrDbCommand, false}, {1, kErrClosedObject, false},
  };
  for (const auto& c : cases) {
    bool stopped = false;
    list_.sql_server_mode = c.mode;
    list_.on_database_gone = [&] { stopped = true; };
    list_.ReportError(c.number, "x");
    EXPECT_EQ(stopped, c.stops) << c.mode << " " << c.number;
  }
}

TEST_F(ErrorListTest, DatabaseLostAnswersOncePerRecordedError) {
  for (std::int64_t n : {kErrObjectNotSet, kErrObjectInvalid, kErrClosedObject}) {
    list_.ReportError(n, "x");
    EXPECT_TRUE(list_.DatabaseLost());
    EXPECT_FALSE(list_.DatabaseLost());
  }
  list_.ReportError(kErrDbUnspecified, "x");
  EXPECT_FALSE(list_.DatabaseLost());
}

}  // namespace
}  // namespace ordane
