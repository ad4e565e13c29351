#include "log.h"

#include <cstdio>

namespace kelsrv {

std::string Quoted(const std::string &text, std::size_t maxBytes) {
    std::string out = "'";
    for (std::size_t i = 0; i < text.size() && i < maxBytes; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\'' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c > 0x7E) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += "'";
    return text.size() > maxBytes ? out + "..." : out;
}

std::string DurationText(std::chrono::milliseconds duration) {
    const long long ms = duration.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

FailureReport::FailureReport(std::string what, Clock::duration interval)
    : what_(std::move(what)), interval_(interval) {}

std::string FailureReport::Failed(const std::string &reason, Clock::time_point now) {
    reason_ = reason;
    ++count_;
    return Pending(now);
}

std::string FailureReport::Pending(Clock::time_point now, bool force) {
    if (count_ == 0 || (reported_ && !force && now - lastLine_ < interval_)) return "";
    return Line(now);
}

std::string FailureReport::Line(Clock::time_point now) {
    std::string line = what_ + " failed " + std::to_string(count_) + (count_ == 1 ? " time" : " times");
    if (reported_) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, " in %.1f s",
                      std::chrono::duration<double>(now - lastLine_).count());
        line += seconds;
    }
    count_ = 0;
    reported_ = true;
    lastLine_ = now;
    return line + ": " + reason_;
}

}  // namespace kelsrv
