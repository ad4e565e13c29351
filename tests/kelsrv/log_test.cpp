// The pieces of kelsrv's log lines: quoted client text and counted failures.
#include "log.h"

#include <gtest/gtest.h>

namespace kelsrv_test {
namespace {

TEST(KelsrvLog, QuotedClientTextIsOneLineOfPrintableAsciiAndCut) {
    const struct {
        std::string text;
        std::size_t maxBytes;
        const char *quoted;
    } cases[] = {
        {"alice", 32, "'alice'"},
        {"", 32, "''"},
        {std::string("a\0b", 3), 32, "'a\\x00b'"},
        {"x\r\ny\tz", 32, "'x\\r\\ny\\tz'"},
        {"\x1b]0;title\x07", 32, "'\\x1b]0;title\\x07'"},
        {"it's \\", 32, "'it\\'s \\\\'"},
        {"\x7f\x80\xff", 32, "'\\x7f\\x80\\xff'"},
        {"abcdef", 4, "'abcd'..."},
        {"abcd", 4, "'abcd'"},
    };
    for (const auto &c : cases) EXPECT_EQ(kelsrv::Quoted(c.text, c.maxBytes), c.quoted) << c.quoted;
}

TEST(KelsrvLog, RepeatedFailuresMakeOneLineASecondWithTheirCount) {
    using std::chrono::milliseconds;
    const kelsrv::FailureReport::Clock::time_point t0;
    kelsrv::FailureReport report("accept");
    const struct {
        int atMs;
        const char *failure;  // nullptr: only ask for what is pending
        const char *line;
    } steps[] = {
        {0, "A (1)", "accept failed 1 time: A (1)"},
        {10, "A (1)", ""},
        {900, "B (2)", ""},
        {999, nullptr, ""},
        {1000, nullptr, "accept failed 2 times in 1.0 s: B (2)"},
        {1001, "B (2)", ""},
        {4500, nullptr, "accept failed 1 time in 3.5 s: B (2)"},
        {9000, nullptr, ""},
        {9000, "C (3)", "accept failed 1 time in 4.5 s: C (3)"},
        {9001, "C (3)", ""},
    };
    for (const auto &step : steps) {
        const auto now = t0 + milliseconds(step.atMs);
        EXPECT_EQ(step.failure ? report.Failed(step.failure, now) : report.Pending(now), step.line)
            << step.atMs;
    }
    EXPECT_EQ(report.Pending(t0 + milliseconds(9002), true), "accept failed 1 time in 0.0 s: C (3)");
    EXPECT_EQ(report.Pending(t0 + milliseconds(9003), true), "") << "nothing left to report";
}

}  // namespace
}  // namespace kelsrv_test
