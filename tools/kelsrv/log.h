// What kelsrv's log lines are made of: client text that cannot break a line
// or reach the terminal, and failures that are counted rather than repeated.
#ifndef KELSRV_LOG_H
#define KELSRV_LOG_H

#include <chrono>
#include <cstddef>
#include <string>

namespace kelsrv {

// Text from a client in single quotes, fit for one log line: printable
// ASCII stays, a quote or backslash gets a backslash, line feed, carriage
// return and tab become \n \r \t, every other byte \xNN. Of a text longer
// than maxBytes only the first maxBytes are shown, with "..." after the
// closing quote.
std::string Quoted(const std::string &text, std::size_t maxBytes = 32);

// "300 s", or "250 ms" for a duration that is no whole number of seconds.
std::string DurationText(std::chrono::milliseconds duration);

// Repeated failures of one kind (accept, starting a connection's thread),
// reported in one line per interval at most:
//   "accept failed 1 time: REASON"            the first
//   "accept failed 812 times in 1.0 s: REASON" those since the last line
// REASON is that of the latest failure.
class FailureReport {
public:
    using Clock = std::chrono::steady_clock;

    explicit FailureReport(std::string what, Clock::duration interval = std::chrono::seconds(1));

    // Counts a failure at now; returns the line to log, or "" while the
    // last line is younger than the interval.
    std::string Failed(const std::string &reason, Clock::time_point now);

    // The line for failures counted but not reported yet: once the interval
    // has passed since the last line, or at once with force. "" if none.
    std::string Pending(Clock::time_point now, bool force = false);

private:
    std::string Line(Clock::time_point now);

    std::string what_;
    Clock::duration interval_;
    std::string reason_;
    unsigned long count_ = 0;  // failures since the last line
    bool reported_ = false;    // a line was written; lastLine_ is its time
    Clock::time_point lastLine_;
};

}  // namespace kelsrv

#endif
