// kelcli bench: C clients, a thread and a connection each, send requests one
// after the other and await each reply; the report gives the rate, the
// latency percentiles and the failures by step and result code.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "commands.h"
#include "latency.h"
#include "results.h"
#include "session.h"
#include "text.h"

namespace kelcli {
namespace {

using Clock = std::chrono::steady_clock;

// Reply data is read and checked in pieces of this size, so that a client
// holds no more than this however large the requests are.
const std::uint32_t kReceiveChunk = 64 * 1024;

// Failures are counted by where they happened and what the library said.
struct FailureKey {
    std::string step;
    int code;
    std::string reason;
    bool operator<(const FailureKey &other) const {
        if (code != other.code) return code < other.code;
        if (step != other.step) return step < other.step;
        return reason < other.reason;
    }
};

using FailureCounts = std::map<FailureKey, std::uint64_t>;

std::uint64_t Nanoseconds(Clock::duration duration) {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count());
}

// A start line: every client arrives, and all go at the same moment. The
// clients meet at one before they connect, so that they connect at once, and
// at another once they have connected or failed to, where the clock starts,
// so that the rate counts exchanges only.
class StartLine {
public:
    explicit StartLine(unsigned clients) : waiting_(clients) {}

    // A client is ready (or gave up); waits for the start and returns it.
    Clock::time_point Arrive() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (--waiting_ == 0) {
            start_ = Clock::now();
            started_ = true;
            changed_.notify_all();
        }
        changed_.wait(lock, [this] { return started_; });
        return start_;
    }

    // Lets the clients go without the ones that never arrive.
    void Release(unsigned absent) {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_ -= absent;
        if (waiting_ == 0 && !started_) {
            start_ = Clock::now();
            started_ = true;
            changed_.notify_all();
        }
    }

    void Finished() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++finished_;
        changed_.notify_all();
    }

    // Waits until all clients have finished, or at most wait; true when they have.
    bool WaitFinished(unsigned clients, Clock::duration wait) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, wait, [&] { return finished_ == clients; });
    }

    Clock::time_point Start() {
        std::lock_guard<std::mutex> lock(mutex_);
        return started_ ? start_ : Clock::now();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    unsigned waiting_;
    unsigned finished_ = 0;
    bool started_ = false;
    Clock::time_point start_;
};

// Counters the progress line reads while the clients run.
struct Progress {
    std::atomic<std::uint64_t> exchanges{0};
    std::atomic<std::uint64_t> failures{0};
};

class Client {
public:
    Client(const CliOptions &options, const std::vector<std::uint8_t> &request, StartLine *connectLine,
           StartLine *startLine, Progress *progress)
        : options_(options),
          request_(request),
          connectLine_(connectLine),
          startLine_(startLine),
          progress_(progress) {}

    void Run() {
        Session session(options_.timeoutSeconds);
        Clock::time_point connecting = connectLine_->Arrive();
        Outcome outcome = session.Open(options_);
        connectLatency_.Add(Nanoseconds(Clock::now() - connecting));
        Clock::time_point start = startLine_->Arrive();
        if (outcome.code != KEL_OK) {
            Count(OpenStep(options_, outcome.code), outcome);
            notSent_ = options_.seconds ? 0 : options_.requests;
        } else {
            SendRequests(session, start + std::chrono::seconds(options_.seconds));
        }
        startLine_->Finished();
    }

    const LatencyHistogram &ConnectLatency() const { return connectLatency_; }
    const LatencyHistogram &Latency() const { return latency_; }
    const FailureCounts &Failures() const { return failures_; }
    std::uint64_t NotSent() const { return notSent_; }

private:
    void SendRequests(Session &session, Clock::time_point deadline) {
        received_.resize(std::min<std::size_t>(request_.size(), kReceiveChunk));
        for (std::uint32_t sent = 0; options_.seconds ? Clock::now() < deadline : sent < options_.requests;
             ++sent) {
            Clock::time_point begin = Clock::now();
            std::string step;
            Outcome outcome = Exchange(session, &step);
            if (outcome.code == KEL_OK) {
                latency_.Add(Nanoseconds(Clock::now() - begin));
                ++progress_->exchanges;
                continue;
            }
            Count(step, outcome);
            // After a refusal or a wrong echo the stream is still in step; after
            // anything else its position is unknown and the connection is done.
            if (!keltools::IsHostCode(outcome.code) && outcome.code != KEL_ERR_PROTOCOL) {
                notSent_ = options_.seconds ? 0 : options_.requests - sent - 1;
                return;
            }
        }
    }

    // One request and its reply; on failure *step names where it failed.
    Outcome Exchange(Session &session, std::string *step) {
        HKELCONNECTION connection = session.Connection();
        KelCommand frame;
        std::memset(&frame, 0, sizeof frame);
        frame.dwCommand = options_.benchCode;
        frame.dwDataLen = options_.size;
        *step = "send the request";
        Outcome outcome = session.Run([&] {
            int code = KelSendCommand(connection, &frame, request_.empty() ? 1 : 0);
            std::uint32_t sent = 0;
            if (code == KEL_OK && !request_.empty())
                code = KelSend(connection, request_.data(), options_.size, &sent, 1);
            return code;
        });
        if (outcome.code != KEL_OK) return outcome;
        *step = "wait for the reply " + keltools::Hex32(ReplyCodeFor(options_.benchCode));
        KelCommand reply;
        outcome = session.Run(
            [&] { return KelWaitForResponse(connection, ReplyCodeFor(frame.dwCommand), &reply); });
        if (outcome.code != KEL_OK) return outcome;
        *step = "receive the reply data";
        bool same = reply.dwDataLen == options_.size;
        outcome = ReceiveReplyData(session, reply.dwDataLen, &same);
        if (outcome.code != KEL_OK) return outcome;
        *step = "request refused with host code " + keltools::Hex32(reply.dwRetCode);
        outcome.code = KelCmdErrToKelErr(reply.dwRetCode);
        if (outcome.code != KEL_OK) return outcome;
        *step = "echo check: the reply data differ from the request's";
        if (options_.benchCode == kEchoCode && !same) outcome.code = KEL_ERR_PROTOCOL;
        return outcome;
    }

    // Reads the reply data in pieces; *same stays true while they match the request.
    Outcome ReceiveReplyData(Session &session, std::uint32_t length, bool *same) {
        HKELCONNECTION connection = session.Connection();
        std::uint8_t spare[256];
        for (std::uint32_t offset = 0; offset < length;) {
            std::uint8_t *into = received_.empty() ? spare : received_.data();
            std::uint32_t room =
                received_.empty() ? sizeof spare : static_cast<std::uint32_t>(received_.size());
            std::uint32_t piece = std::min(length - offset, room);
            std::uint32_t got = 0;
            Outcome outcome = session.Run([&] { return KelReceive(connection, into, piece, &got, 1); });
            if (outcome.code != KEL_OK) return outcome;
            if (*same) *same = std::memcmp(into, request_.data() + offset, piece) == 0;
            offset += piece;
        }
        return Outcome{};
    }

    void Count(const std::string &step, const Outcome &outcome) {
        ++failures_[FailureKey{step, outcome.code, outcome.reason}];
        ++progress_->failures;
    }

    const CliOptions &options_;
    const std::vector<std::uint8_t> &request_;
    StartLine *connectLine_;
    StartLine *startLine_;
    Progress *progress_;
    std::vector<std::uint8_t> received_;
    LatencyHistogram connectLatency_;  // from the common start to logged on, or the failure
    LatencyHistogram latency_;
    FailureCounts failures_;
    std::uint64_t notSent_ = 0;
};

// Milliseconds with three decimals from nanoseconds.
std::string Millis(std::uint64_t nanoseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f ms", static_cast<double>(nanoseconds) / 1e6);
    return text;
}

void ShowProgress(const CliOptions &options, const Progress &progress, double seconds, std::FILE *err) {
    char line[128];
    std::uint64_t exchanges = progress.exchanges.load();
    std::uint64_t failures = progress.failures.load();
    if (options.seconds)
        std::snprintf(line, sizeof line, "%llu exchanges, %llu failures, %.1f of %u s",
                      static_cast<unsigned long long>(exchanges), static_cast<unsigned long long>(failures),
                      seconds, static_cast<unsigned>(options.seconds));
    else
        std::snprintf(line, sizeof line, "%llu of %llu exchanges, %llu failures, %.1f s",
                      static_cast<unsigned long long>(exchanges),
                      static_cast<unsigned long long>(options.requests) * options.clients,
                      static_cast<unsigned long long>(failures), seconds);
    std::fprintf(err, "\rkelcli bench: %-60s", line);
    std::fflush(err);
}

void ClearProgress(std::FILE *err) {
    std::fprintf(err, "\r%-75s\r", "");
    std::fflush(err);
}

// The exit code: the code of the most frequent failure, the lowest of equals.
int ExitCode(const FailureCounts &failures) {
    std::map<int, std::uint64_t> byCode;
    for (const auto &entry : failures) byCode[entry.first.code] += entry.second;
    int code = 0;
    std::uint64_t most = 0;
    for (const auto &entry : byCode)
        if (entry.second > most) code = entry.first, most = entry.second;
    return code;
}

// "median …, p90 …, p99 …, max …" of a histogram.
std::string Percentiles(const LatencyHistogram &latency) {
    return "median " + Millis(latency.Percentile(0.5)) + ", p90 " + Millis(latency.Percentile(0.9)) +
           ", p99 " + Millis(latency.Percentile(0.99)) + ", max " + Millis(latency.Max());
}

int Report(const CliOptions &options, const std::vector<std::unique_ptr<Client>> &clients, double seconds,
           std::FILE *out) {
    LatencyHistogram connectLatency, latency;
    FailureCounts failures;
    std::uint64_t notSent = 0, failed = 0;
    for (const auto &client : clients) {
        connectLatency.Merge(client->ConnectLatency());
        latency.Merge(client->Latency());
        for (const auto &entry : client->Failures()) failures[entry.first] += entry.second;
        notSent += client->NotSent();
    }
    for (const auto &entry : failures) failed += entry.second;
    std::string plan = options.seconds ? std::to_string(options.seconds) + " s each"
                                       : std::to_string(options.requests) + " requests each";
    std::fprintf(out, "bench        %u clients, %s, %u data bytes, command %s\n", options.clients,
                 plan.c_str(), options.size, keltools::Hex32(options.benchCode).c_str());
    std::fprintf(out, "exchanges    %llu in %.3f s: %.0f per second\n",
                 static_cast<unsigned long long>(latency.Count()), seconds,
                 seconds > 0 ? static_cast<double>(latency.Count()) / seconds : 0.0);
    if (latency.Count()) std::fprintf(out, "latency      %s\n", Percentiles(latency).c_str());
    std::fprintf(out, "connect      %s (all clients at once, to logged on)\n",
                 Percentiles(connectLatency).c_str());
    if (notSent)
        std::fprintf(out, "not sent     %llu (their client could not connect or lost its connection)\n",
                     static_cast<unsigned long long>(notSent));
    std::fprintf(out, "failures     %llu\n", static_cast<unsigned long long>(failed));
    for (const auto &entry : failures) {
        Outcome outcome{entry.first.code, false, entry.first.reason};
        std::fprintf(out, "  %llu x %s\n", static_cast<unsigned long long>(entry.second),
                     FailureText(entry.first.step, outcome).c_str());
    }
    return ExitCode(failures);
}

// The request data: a pattern that an echo must bring back byte for byte.
std::vector<std::uint8_t> RequestData(std::uint32_t size) {
    std::vector<std::uint8_t> data(size);
    for (std::uint32_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return data;
}

}  // namespace

int RunBench(const CliOptions &options, bool showProgress, std::FILE *out, std::FILE *err) {
    const std::vector<std::uint8_t> request = RequestData(options.size);
    StartLine connectLine(options.clients), startLine(options.clients);
    Progress progress;
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<std::thread> threads;
    std::string threadError;
    for (unsigned i = 0; i < options.clients; ++i) {
        clients.push_back(std::make_unique<Client>(options, request, &connectLine, &startLine, &progress));
        try {
            threads.emplace_back(&Client::Run, clients.back().get());
        } catch (const std::system_error &error) {
            clients.pop_back();
            threadError = error.what();
            connectLine.Release(options.clients - i);
            startLine.Release(options.clients - i);
            break;
        }
    }
    const unsigned started = static_cast<unsigned>(threads.size());
    while (!startLine.WaitFinished(started, std::chrono::milliseconds(100)))
        if (showProgress)
            ShowProgress(options, progress,
                         std::chrono::duration<double>(Clock::now() - startLine.Start()).count(), err);
    double seconds = std::chrono::duration<double>(Clock::now() - startLine.Start()).count();
    for (std::thread &thread : threads) thread.join();
    if (showProgress) ClearProgress(err);
    if (!threadError.empty()) {
        std::fprintf(err, "kelcli: only %u of %u clients could start: %s\n", started, options.clients,
                     threadError.c_str());
        return KEL_ERR_SYSTEM;
    }
    return Report(options, clients, seconds, out);
}

}  // namespace kelcli
