// The log service record, the program-level log call and the ring of recent
// messages with its report.
#include "TestSupport.h"
#include "xadracommon/LogService.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>

namespace {

using xadtest::QuietLog;

std::vector<std::string> reportLines() {
    std::ostringstream out;
    Xadra::ringReport(out);
    std::vector<std::string> lines;
    std::istringstream in(out.str());
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// The text after "<time> <LEVEL> ".
std::string textOf(const std::string& line) {
    size_t a = line.find(' ');
    size_t b = line.find(' ', a + 1);
    return b == std::string::npos ? std::string() : line.substr(b + 1);
}

class LogRing : public ::testing::Test {
protected:
    void TearDown() override { Xadra::ringResize(0); }
    QuietLog quiet;
};

TEST(LogServiceRecord, HasTheProgramsNameFiltersAndCategories) {
    const Plume::LogService& s = Xadra::logService();
    EXPECT_STREQ(s.name, "xad");
    EXPECT_EQ(s.categoryMask, 0u);
    EXPECT_EQ(s.levelThreshold, 6);
    const char* names[] = {"xadraremoting", "xadrastream", "xadrahpgs", "xadrapng",
                           "xadrad",        "xadrac",      "xadrafft",  "xadrags"};
    size_t i = 0;
    for (; s.categories[i].name; ++i) {
        ASSERT_LT(i, 8u);
        EXPECT_STREQ(s.categories[i].name, names[i]);
        EXPECT_EQ(s.categories[i].bit, 1u << i);
    }
    EXPECT_EQ(i, 8u);
}

TEST_F(LogRing, OffRingReportsTheHeaderOnly) {
    Xadra::ringResize(0);
    Xadra::logMessage(3, "not recorded %d", 1);
    EXPECT_EQ(reportLines(), std::vector<std::string>{"***** Latest job information"});
}

TEST_F(LogRing, PartlyFilledRingListsItsMessagesOldestFirst) {
    Xadra::ringResize(32);
    Xadra::logMessage(6, "first");
    Xadra::logMessage(6, "second %s", "x");
    Xadra::logMessage(6, "third %d", 3);
    auto lines = reportLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "***** Latest job information");
    EXPECT_EQ(textOf(lines[1]), "first");
    EXPECT_EQ(textOf(lines[2]), "second x");
    EXPECT_EQ(textOf(lines[3]), "third 3");
}

TEST_F(LogRing, LineHasLocalTimeLevelWordAndText) {
    Xadra::ringResize(4);
    Xadra::logMessage(6, "hello world");
    auto lines = reportLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d INFO hello world)")))
        << lines[1];
}

TEST_F(LogRing, LevelWords) {
    Xadra::ringResize(8);
    for (int level : {3, 4, 5, 6, 7}) Xadra::logMessage(level, "level %d", level);
    auto lines = reportLines();
    ASSERT_EQ(lines.size(), 6u);
    const char* words[] = {"ERROR", "WARN", "INFO", "INFO", "INFO"};
    for (int k = 0; k < 5; ++k) {
        std::istringstream in(lines[k + 1]);
        std::string stamp, word;
        in >> stamp >> word;
        EXPECT_EQ(word, words[k]) << lines[k + 1];
        EXPECT_EQ(textOf(lines[k + 1]), "level " + std::to_string(k + 3));
    }
}

TEST_F(LogRing, WrapsAndDropsTheOldest) {
    Xadra::ringResize(32);
    for (int k = 1; k <= 33; ++k) Xadra::logMessage(6, "message %d", k);
    auto lines = reportLines();
    ASSERT_EQ(lines.size(), 33u);  // header + 32
    EXPECT_EQ(textOf(lines[1]), "message 2");
    EXPECT_EQ(textOf(lines[32]), "message 33");
    for (int k = 1; k < 33; ++k) EXPECT_EQ(textOf(lines[k]), "message " + std::to_string(k + 1));
}

TEST_F(LogRing, ExactlyFullRingListsAllInOrder) {
    Xadra::ringResize(3);
    for (int k = 1; k <= 3; ++k) Xadra::logMessage(6, "m%d", k);
    auto lines = reportLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(textOf(lines[1]), "m1");
    EXPECT_EQ(textOf(lines[3]), "m3");
    for (int k = 4; k <= 7; ++k) Xadra::logMessage(6, "m%d", k);  // wraps more than once
    lines = reportLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(textOf(lines[1]), "m5");
    EXPECT_EQ(textOf(lines[3]), "m7");
}

TEST_F(LogRing, LongMessageIsRecordedWhole) {
    Xadra::ringResize(2);
    std::string longText(5000, 'a');
    longText += "END";
    Xadra::logMessage(4, "%s", longText.c_str());
    std::string exact(1023, 'b');  // one below the first buffer size; and exactly at it
    Xadra::logMessage(4, "%s", exact.c_str());
    auto lines = reportLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(textOf(lines[1]), longText);
    EXPECT_EQ(textOf(lines[2]), exact);
    Xadra::logMessage(4, "%s", std::string(1024, 'c').c_str());
    lines = reportLines();
    EXPECT_EQ(textOf(lines[2]), std::string(1024, 'c'));
}

TEST_F(LogRing, ResizeDiscardsEntries) {
    Xadra::ringResize(4);
    Xadra::logMessage(6, "old");
    Xadra::ringResize(4);
    EXPECT_EQ(reportLines().size(), 1u);
    Xadra::logMessage(6, "new");
    auto lines = reportLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(textOf(lines[1]), "new");
}

TEST_F(LogRing, MessagesAreRecordedWhateverTheLevelThreshold) {
    Xadra::ringResize(4);
    Xadra::logMessage(7, "debug text");  // threshold is -1 here: not logged, still recorded
    auto lines = reportLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(textOf(lines[1]), "debug text");
}

TEST_F(LogRing, ConcurrentLoggingAndReporting) {
    Xadra::ringResize(16);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int k = 0; k < 200; ++k) Xadra::logMessage(6, "thread %d message %d", t, k);
        });
    for (int k = 0; k < 50; ++k) {
        auto lines = reportLines();
        EXPECT_LE(lines.size(), 17u);
    }
    for (auto& th : threads) th.join();
    auto lines = reportLines();
    ASSERT_EQ(lines.size(), 17u);
    for (size_t k = 1; k < lines.size(); ++k) EXPECT_EQ(textOf(lines[k]).rfind("thread ", 0), 0u);
}

}  // namespace
