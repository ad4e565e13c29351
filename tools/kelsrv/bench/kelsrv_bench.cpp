// kelsrv_bench: many kelapi clients against one kelsrv at the same moment.
// Every client allocates its connection, waits until all are ready, then
// connects (identify and logon), makes its echo exchanges and disconnects.
// Prints connect latencies, the exchange rate and every failure. A
// measurement, not a test; tools/kelsrv/bench/run.sh wraps it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelapi.h"
#include "text.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kCmdEcho = 0x80000100u;
constexpr std::uint32_t kRspEcho = 0x40000100u;

struct Settings {
    std::string address = "127.0.0.1";
    std::uint16_t port = KEL_DEFAULT_PORT;
    std::string user = "bench", password = "secret";
    unsigned clients = 1000, exchanges = 200, size = 64, limitSeconds = 300;
};

struct Outcome {
    double connectSeconds = 0;
    Clock::time_point finished;
    std::string failure;  // empty: every step worked
};

// Holds every client back until all of them are ready, then lets them go at once.
class StartLine {
public:
    explicit StartLine(unsigned count) : waiting_(count) {}
    void ArriveAndWait() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (--waiting_ == 0) {
            start_ = Clock::now();
            go_.notify_all();
        }
        go_.wait(lock, [this] { return waiting_ == 0; });
    }
    Clock::time_point Start() {
        std::lock_guard<std::mutex> lock(mutex_);
        return start_;
    }

private:
    std::mutex mutex_;
    std::condition_variable go_;
    unsigned waiting_;
    Clock::time_point start_;
};

std::string Failed(const char *step, int32_t rc) { return std::string(step) + " " + std::to_string(rc); }

// One echo of size bytes whose content depends on the round; "" when the reply matched.
std::string Echo(HKELCONNECTION h, unsigned round, std::vector<std::uint8_t> *data,
                 std::vector<std::uint8_t> *reply) {
    for (std::size_t i = 0; i < data->size(); ++i) (*data)[i] = static_cast<std::uint8_t>(round + i);
    KelCommand cmd{};
    cmd.dwCommand = kCmdEcho;
    cmd.dwParm1 = round + 1;
    cmd.dwDataLen = static_cast<std::uint32_t>(data->size());
    std::uint32_t moved = 0;
    int32_t rc = KelSendCommand(h, &cmd, 0);
    if (rc == KEL_OK) rc = KelSend(h, data->data(), cmd.dwDataLen, &moved, 1);
    if (rc != KEL_OK) return Failed("send", rc);
    if ((rc = KelWaitForResponse(h, kRspEcho, &cmd)) != KEL_OK) return Failed("wait", rc);
    if (cmd.dwParm1 != round + 1 || cmd.dwDataLen != data->size()) return "wrong echo reply";
    if ((rc = KelReceive(h, reply->data(), cmd.dwDataLen, &moved, 1)) != KEL_OK) return Failed("receive", rc);
    return *reply == *data ? "" : "wrong echo data";
}

void RunClient(const Settings &settings, StartLine *startLine, Outcome *outcome) {
    HKELCONNECTION h = nullptr;
    int32_t rc = KelAllocConnection(KelStrToIP(settings.address.c_str()), settings.port,
                                    settings.user.c_str(), settings.password.c_str(), nullptr, &h);
    startLine->ArriveAndWait();
    if (rc != KEL_OK) {
        outcome->failure = Failed("alloc", rc);
        return;
    }
    Clock::time_point before = Clock::now();
    rc = KelConnect(h);
    outcome->connectSeconds = std::chrono::duration<double>(Clock::now() - before).count();
    if (rc != KEL_OK) outcome->failure = Failed("connect", rc);
    std::vector<std::uint8_t> data(settings.size), reply(settings.size);
    for (unsigned round = 0; outcome->failure.empty() && round < settings.exchanges; ++round)
        outcome->failure = Echo(h, round, &data, &reply);
    if (outcome->failure.empty() && (rc = KelDisconnect(h)) != KEL_OK)
        outcome->failure = Failed("disconnect", rc);
    KelFreeConnection(h);
    outcome->finished = Clock::now();
}

bool ParseSettings(int argc, char **argv, Settings *settings) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i], value = argv[i + 1];
        unsigned long long number = 0;
        bool numeric = keltools::ParseNumber(value, 1000000, &number);
        unsigned count = static_cast<unsigned>(number);
        if (name == "--address")
            settings->address = value;
        else if (name == "--user")
            settings->user = value;
        else if (name == "--password")
            settings->password = value;
        else if (name == "--port" && numeric && number <= 0xFFFF)
            settings->port = static_cast<std::uint16_t>(number);
        else if (name == "--clients" && numeric && count > 0)
            settings->clients = count;
        else if (name == "--exchanges" && numeric)
            settings->exchanges = count;
        else if (name == "--size" && numeric && number <= (1u << 20))
            settings->size = count;
        else if (name == "--limit" && numeric && count > 0)
            settings->limitSeconds = count;
        else
            return false;
    }
    return argc % 2 == 1;
}

double Percentile(const std::vector<double> &sorted, double fraction) {
    if (sorted.empty()) return 0;
    std::size_t at = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[at];
}

// Prints the figures; the run lasts from the start line to the last client's end.
void Report(const Settings &settings, const std::vector<Outcome> &outcomes, Clock::time_point start) {
    std::vector<double> latencies;
    std::map<std::string, unsigned> failures;
    unsigned ok = 0;
    Clock::time_point end = start;
    for (const Outcome &outcome : outcomes) {
        if (outcome.failure.rfind("alloc", 0) != 0) latencies.push_back(outcome.connectSeconds);
        if (outcome.failure.empty())
            ++ok;
        else
            ++failures[outcome.failure];
        end = std::max(end, outcome.finished);
    }
    std::sort(latencies.begin(), latencies.end());
    double seconds = std::chrono::duration<double>(end - start).count();
    double exchanges = static_cast<double>(ok) * settings.exchanges;
    std::printf("clients %u, %u echo exchanges of %u bytes each\n", settings.clients, settings.exchanges,
                settings.size);
    std::printf("finished %u, failed %u, in %.3f s\n", ok, settings.clients - ok, seconds);
    std::printf("exchanges per second %.0f\n", seconds > 0 ? exchanges / seconds : 0.0);
    std::printf("connect latency median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                Percentile(latencies, 0.5) * 1e3, Percentile(latencies, 0.99) * 1e3,
                latencies.empty() ? 0.0 : latencies.back() * 1e3);
    for (const auto &entry : failures)
        std::printf("failure '%s': %u client(s)\n", entry.first.c_str(), entry.second);
}

}  // namespace

int main(int argc, char **argv) {
    Settings settings;
    if (!ParseSettings(argc, argv, &settings)) {
        std::fprintf(stderr,
                     "usage: kelsrv_bench [--address IP] [--port N] [--user NAME] [--password TEXT]\n"
                     "                    [--clients N] [--exchanges N] [--size BYTES] [--limit SECONDS]\n");
        return 2;
    }
    std::vector<Outcome> outcomes(settings.clients);
    StartLine startLine(settings.clients);
    std::atomic<unsigned> running{settings.clients};
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < settings.clients; ++i)
        threads.emplace_back([&, i] {
            RunClient(settings, &startLine, &outcomes[i]);
            --running;
        });
    // A server that stops answering must not keep the bench waiting for ever.
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(settings.limitSeconds);
    while (running.load() > 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (running.load() > 0) {
        std::printf("%u client(s) still running after %u s\n", running.load(), settings.limitSeconds);
        std::fflush(stdout);
        std::_Exit(1);
    }
    for (std::thread &thread : threads) thread.join();
    Report(settings, outcomes, startLine.Start());
    for (const Outcome &outcome : outcomes)
        if (!outcome.failure.empty()) return 1;
    return 0;
}
