// kelbench: the library against a raw-socket client that sends and receives
// exactly the same bytes, in one process and one run, against one kelsrv
// engine on loopback. Many short rounds, the clients interleaved in turning
// order; each figure is the median of the rounds with its spread, and the
// ratio library/raw is taken round by round. For echoes a third client, raw
// but making the library's system calls, splits the gap into what the call
// pattern costs and what the library itself costs.
//
// Then, through the library's platform seam, the system calls of a connect,
// an exchange and a disconnect, and the heap allocations and clock reads per
// exchange. Exit code 1 when a reply is wrong or a count misses its goal;
// timing never decides the exit code.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "clients.h"
#include "raw_tls.h"
#include "seam_counter.h"
#include "server.h"
#include "text.h"
#include "tls_server.h"

namespace kelbench {
namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
    unsigned rounds = 101;
    unsigned targetMs = 20;  // per figure, client and round
    unsigned cycles = 100;   // connect cycles per client and round: each leaves a TIME_WAIT entry behind
};

const std::uint32_t kEchoSizes[] = {16, 1016, 1500, 8192, 65536};

enum class Kind { Echo, Bulk, Small, Cycle };

// The clients of a round: the library, the raw socket, and for echoes the
// raw socket making the library's system calls.
enum Contender { kLibrary, kRaw, kSameCalls, kContenders };

struct Figure {
    std::string name;
    Kind kind;
    std::uint32_t size;  // data bytes per echo, per bulk write
    double goal;         // least ratio library/raw; 0: none
    bool everyKind;      // the third contender runs every kind, not echoes only
    std::uint32_t count = 0;
    std::vector<double> seconds[kContenders];  // seconds per unit of each contender, one entry per round

    Figure(std::string figureName, Kind figureKind, std::uint32_t figureSize, double figureGoal,
           bool thirdEveryKind = false)
        : name(std::move(figureName)),
          kind(figureKind),
          size(figureSize),
          goal(figureGoal),
          everyKind(thirdEveryKind) {}
    int Contenders() const { return kind == Kind::Echo || everyKind ? kContenders : kSameCalls; }
};

using Clients = Client *[kContenders];

Bytes Pattern(std::uint32_t size) {
    Bytes data(size);
    for (std::uint32_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 13 + 7);
    return data;
}

std::string Thousands(std::uint64_t value) {
    std::string digits = std::to_string(value), text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    return text;
}

// Runs count units of a figure on a client: seconds per unit, or -1 on failure.
double Measure(const Figure &figure, Client &client, std::uint32_t count) {
    if (figure.kind == Kind::Echo) client.SetEcho(Pattern(figure.size));
    Clock::time_point start = Clock::now();
    bool ok = true;
    switch (figure.kind) {
        case Kind::Echo:
            for (std::uint32_t i = 0; ok && i < count; ++i) ok = client.Echo();
            break;
        case Kind::Bulk:
            ok = client.Stream(figure.size, count, true);
            break;
        case Kind::Small:
            ok = client.Stream(figure.size, count, false);
            break;
        case Kind::Cycle:
            for (std::uint32_t i = 0; ok && i < count; ++i) ok = client.Cycle();
            break;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return ok ? seconds / count : -1;
}

// Units per round so that the slowest client needs about targetMs.
bool Calibrate(Figure &figure, const Clients &clients, const Settings &settings) {
    if (figure.kind == Kind::Cycle) {
        figure.count = settings.cycles;
        for (int c = 0; c < figure.Contenders(); ++c)
            if (Measure(figure, *clients[c], 2) < 0) return false;
        return true;
    }
    const std::uint32_t probe = figure.kind == Kind::Small ? 2000 : figure.kind == Kind::Bulk ? 50 : 20;
    double slowest = 0;
    for (int pass = 0; pass < 2; ++pass) {  // the first pass warms caches and the server up
        for (int c = 0; c < figure.Contenders(); ++c) {
            double seconds = Measure(figure, *clients[c], probe);
            if (seconds < 0) return false;
            slowest = pass ? std::max(slowest, seconds) : 0;
        }
    }
    const double maxCount = figure.kind == Kind::Bulk ? 60000 : 1e7;  // the frame's data length stays 32-bit
    figure.count =
        static_cast<std::uint32_t>(std::clamp(settings.targetMs / 1000.0 / slowest, 1.0, maxCount));
    return true;
}

double Quantile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    double position = fraction * static_cast<double>(values.size() - 1);
    std::size_t below = static_cast<std::size_t>(position);
    if (below + 1 >= values.size()) return values.back();
    return values[below] + (values[below + 1] - values[below]) * (position - static_cast<double>(below));
}

struct Spread {
    double median, low, high;  // the median and the 10th and 90th percentiles
};

Spread SpreadOf(const std::vector<double> &values) {
    return Spread{Quantile(values, 0.5), Quantile(values, 0.1), Quantile(values, 0.9)};
}

// The figure in its unit from seconds per unit: microseconds per round trip
// for echoes, MiB/s for streams, cycles per second for connects.
double Display(const Figure &figure, double seconds) {
    switch (figure.kind) {
        case Kind::Echo:
            return seconds * 1e6;
        case Kind::Bulk:
        case Kind::Small:
            return figure.size / seconds / (1024.0 * 1024.0);
        case Kind::Cycle:
            break;
    }
    return 1 / seconds;
}

const char *Unit(Kind kind) { return kind == Kind::Echo ? "us" : kind == Kind::Cycle ? "/s" : "MiB/s"; }

std::string Shown(const Figure &figure, const std::vector<double> &seconds) {
    Spread spread = SpreadOf(seconds);
    double a = Display(figure, spread.low), b = Display(figure, spread.high);
    char text[96];
    std::snprintf(text, sizeof text, "%9.1f %-5s [%.1f, %.1f]", Display(figure, spread.median),
                  Unit(figure.kind), std::min(a, b), std::max(a, b));
    return text;
}

// The ratios library/other, round by round: the other's time over the library's.
Spread RatioOf(const Figure &figure, Contender other) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < figure.seconds[kLibrary].size(); ++i)
        ratios.push_back(figure.seconds[other][i] / figure.seconds[kLibrary][i]);
    return SpreadOf(ratios);
}

std::string RatioText(const Spread &ratio) {
    char text[48];
    std::snprintf(text, sizeof text, "%.2f [%.2f, %.2f]", ratio.median, ratio.low, ratio.high);
    return text;
}

// Prints the figure's line; false when its goal does not hold.
bool Report(const Figure &figure) {
    Spread ratio = RatioOf(figure, kRaw);
    bool holds = figure.goal == 0 || ratio.median >= figure.goal;
    char goal[48] = "-";
    if (figure.goal)
        std::snprintf(goal, sizeof goal, ">= %.2f %s", figure.goal, holds ? "holds" : "DOES NOT HOLD");
    std::string sameCalls = figure.Contenders() > kSameCalls ? RatioText(RatioOf(figure, kSameCalls)) : "-";
    std::printf("%-26s %-33s %-33s %-18s %-18s %s\n", figure.name.c_str(),
                Shown(figure, figure.seconds[kLibrary]).c_str(), Shown(figure, figure.seconds[kRaw]).c_str(),
                RatioText(ratio).c_str(), sameCalls.c_str(), goal);
    return holds;
}

// Over TLS, against OpenSSL used directly; the third contender is the
// library over plain TCP, so that the cost of TLS shows in the same rounds.
std::vector<Figure> TlsFigures() {
    return {Figure("TLS echo 16 B round trip", Kind::Echo, 16, 0.90, true),
            Figure("TLS echo 8,192 B round trip", Kind::Echo, 8192, 0.90, true),
            Figure("TLS bulk 64 KiB, flush", Kind::Bulk, 65536, 0.90, true),
            Figure("TLS connect+logon+disc.", Kind::Cycle, 0, 0, true)};
}

std::vector<Figure> Figures() {
    std::vector<Figure> figures;
    for (std::uint32_t size : kEchoSizes)
        figures.push_back(Figure("echo " + Thousands(size) + " B round trip", Kind::Echo, size, 0.90));
    figures.push_back(Figure("bulk 64 KiB writes, flush", Kind::Bulk, 65536, 0.95));
    figures.push_back(Figure("100 B writes, no flush", Kind::Small, 100, 0));
    figures.push_back(Figure("connect+logon+disconnect", Kind::Cycle, 0, 0));
    return figures;
}

// One round: every figure, its clients one after the other, the one to go
// first turning from round to round.
bool RunRound(std::vector<Figure> &figures, const Clients &clients, unsigned round) {
    for (Figure &figure : figures) {
        const int contenders = figure.Contenders();
        for (int turn = 0; turn < contenders; ++turn) {
            int c =
                static_cast<int>((round + static_cast<unsigned>(turn)) % static_cast<unsigned>(contenders));
            double seconds = Measure(figure, *clients[c], figure.count);
            if (seconds < 0) {
                std::printf("kelbench: %s failed in round %u\n", figure.name.c_str(), round + 1);
                return false;
            }
            figure.seconds[c].push_back(seconds);
        }
    }
    return true;
}

// The columns of a table: the library, the raw client, the third contender's ratio.
struct Columns {
    const char *library, *raw, *third;
};

bool RunTimings(const Clients &clients, const Settings &settings, std::vector<Figure> figures,
                const Columns &columns) {
    for (Figure &figure : figures)
        if (!Calibrate(figure, clients, settings)) {
            std::printf("kelbench: %s failed while calibrating\n", figure.name.c_str());
            return false;
        }
    Clock::time_point start = Clock::now();
    for (unsigned round = 0; round < settings.rounds; ++round)
        if (!RunRound(figures, clients, round)) return false;
    std::printf(
        "\n%u rounds in %.1f s; each figure the median [10th, 90th percentile] of the rounds.\n"
        "library/raw: library speed over raw speed, round by round; same calls: over a raw\n"
        "client making the library's system calls (the library's own cost alone)\n",
        settings.rounds, std::chrono::duration<double>(Clock::now() - start).count());
    std::printf("%-26s %-33s %-33s %-18s %-18s %s\n", "figure", columns.library, columns.raw, "library/raw",
                columns.third, "goal");
    unsigned goals = 0, held = 0;
    for (const Figure &figure : figures) {
        bool holds = Report(figure);
        goals += figure.goal ? 1 : 0;
        held += figure.goal && holds ? 1 : 0;
    }
    std::printf("units per round and client:");
    for (const Figure &figure : figures) std::printf(" %s", Thousands(figure.count).c_str());
    std::printf("\ntiming goals: %u of %u hold\n", held, goals);
    return true;
}

// ---- system calls, allocations and clock reads through the seam

// Prints one count line with its goal; returns whether the goal holds.
bool CountLine(const std::string &what, const SeamCounts &counts, const std::string &goal, bool holds) {
    std::string setup = counts.SetupList();
    std::printf("%-16s sends %s; receives %s%s\n", what.c_str(), counts.SendList().c_str(),
                counts.ReceiveList().c_str(), setup == "none" ? "" : ("; " + setup).c_str());
    std::printf("%-16s goal: %s: %s\n", "", goal.c_str(), holds ? "holds" : "DOES NOT HOLD");
    return holds;
}

bool SendsAre(const SeamCounts &counts, const std::vector<int> &sizes, const std::vector<int> &more) {
    return counts.sends == sizes && counts.sendMore == more;
}

bool EchoCounts(LibraryClient &library, SeamCounter &counter) {
    bool holds = true;
    for (std::uint32_t size : kEchoSizes) {
        library.SetEcho(Pattern(size));
        counter.Clear();
        bool ok = library.Echo();
        const SeamCounts &counts = counter.Counts();
        const int frame = 9 + static_cast<int>(size);
        bool fits = frame <= 1024;
        std::string goal = fits ? "1 send of " + std::to_string(frame) + ", not held back"
                                : "2 sends (1024 held back, " + std::to_string(frame - 1024) + ")";
        bool sends = fits ? SendsAre(counts, {frame}, {0}) : SendsAre(counts, {1024, frame - 1024}, {1, 0});
        holds = CountLine("echo " + Thousands(size) + " B", counts, goal, ok && sends) && holds;
    }
    return holds;
}

bool ExchangeCosts(LibraryClient &library, SeamCounter &counter) {
    const unsigned kPerSize = 200;
    bool ok = true;
    int allocations = 0, clockReads = 0;
    unsigned exchanges = 0;
    for (std::uint32_t size : kEchoSizes) {
        library.SetEcho(Pattern(size));
        counter.Clear();  // SetEcho is the benchmark's own; only the library's calls count
        for (unsigned i = 0; ok && i < kPerSize; ++i, ++exchanges) ok = library.CheckedEcho();
        allocations += counter.Counts().allocations;
        clockReads += counter.Counts().clockReads;
    }
    bool holds = ok && allocations == 0 && clockReads == 0;
    std::printf("%-16s %u exchanges of all sizes, trace off: %d heap allocations, %d clock reads\n",
                "per exchange", exchanges, allocations, clockReads);
    std::printf("%-16s goal: 0 allocations and 0 clock reads: %s\n", "", holds ? "holds" : "DOES NOT HOLD");
    return holds;
}

bool RunCounts(LibraryClient &library) {
    std::printf(
        "\nsystem calls through the library's platform seam (one connect, one exchange, one disconnect)\n");
    HKELCONNECTION connection = library.NewConnection();
    if (!connection) return false;
    bool holds = true;
    {
        SeamCounter counter;
        bool ok = library.Connect(connection);
        holds = CountLine("connect", counter.Counts(), "2 sends (97, 50), receives 5, 4, 88, 5, 4, 1",
                          ok && SendsAre(counter.Counts(), {97, 50}, {0, 0}) &&
                              counter.Counts().receives == std::vector<int>{5, 4, 88, 5, 4, 1});
        holds = EchoCounts(library, counter) && holds;
        counter.Clear();
        ok = library.Disconnect(connection);
        holds = CountLine("disconnect", counter.Counts(), "1 send of 5",
                          ok && SendsAre(counter.Counts(), {5}, {0})) &&
                holds;
        holds = ExchangeCosts(library, counter) && holds;
    }
    KelFreeConnection(connection);
    return holds;
}

// ---- the machine

std::string FirstLineOf(const char *path, const std::string &prefix = "") {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line))
        if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
    return "not available";
}

void PrintMachine(const char *when) {
    std::printf("load %s: %s\n", when, FirstLineOf("/proc/loadavg").c_str());
}

bool VerifyReplies(const Clients &clients) {
    static const char *const kNames[kContenders] = {"library", "raw", "raw (library's calls)"};
    for (std::uint32_t size : kEchoSizes)
        for (int c = 0; c < kContenders; ++c) {
            clients[c]->SetEcho(Pattern(size));
            if (!clients[c]->CheckedEcho()) {
                std::printf("kelbench: the %s client's echo of %u bytes came back wrong\n", kNames[c], size);
                return false;
            }
        }
    return true;
}

// False for a line that cannot be used; *help for --help.
bool ParseArguments(int argc, char **argv, Settings *settings, bool *help) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i], name = word, value;
        bool inlineValue = keltools::SplitLongOption(word, &name, &value);
        if ((name == "--help" || name == "-h") && !inlineValue) {
            *help = true;
            continue;
        }
        if (name == "--quick" && !inlineValue) {
            *settings = Settings{1, 2, 2};
            continue;
        }
        unsigned long long number = 0;
        if ((name == "--rounds" || name == "--ms") && (inlineValue || i + 1 < argc)) {
            if (!inlineValue) value = argv[++i];
            if (!keltools::ParseNumber(value, 100000, &number) || number == 0) return false;
            (name == "--rounds" ? settings->rounds : settings->targetMs) = static_cast<unsigned>(number);
            continue;
        }
        return false;
    }
    return true;
}

const char kUsage[] =
    "Usage: kelbench [--rounds N] [--ms M] [--quick] [--help]\n"
    "The library against a raw-socket client, same bytes, same kelsrv engine in this process,\n"
    "loopback. N interleaved rounds (default 101), about M ms per figure and client in each\n"
    "(default 20); --quick runs one short round. Pin the process to one CPU (taskset -c 1) so\n"
    "that client and server wake each other on the same CPU. Exit code 1 when a reply is wrong\n"
    "or a system-call count misses its goal, 2 for a bad command line; timing never fails.\n"
    "Where the build has TLS, the same over TLS (verify-full) against OpenSSL used directly, with\n"
    "the library without TLS as a third client in the same rounds.\n";

// Everything against one server; false when a reply or a count is wrong.
bool RunAll(const Settings &settings, std::uint16_t port) {
    LibraryClient library(port);
    RawClient raw(port, false), sameCalls(port, true);
    const Clients clients = {&library, &raw, &sameCalls};
    if (!library.Open() || !raw.Open() || !sameCalls.Open()) {
        std::printf("kelbench: cannot connect to the in-process server\n");
        return false;
    }
    return VerifyReplies(clients) &&
           RunTimings(clients, settings, Figures(), {"library", "raw socket", "lib/same calls"}) &&
           RunCounts(library);
}

// Heap allocations per exchange once the handshake is done: the library's
// own through its seam, and OpenSSL's under the library and under the raw
// client, with where OpenSSL made them.
bool TlsExchangeCosts(LibraryClient &library, RawClient &raw) {
    const unsigned kPerSize = 200;
    const unsigned exchanges = kPerSize * static_cast<unsigned>(std::size(kEchoSizes));
    bool ok = true;
    int allocations = 0;
    OpenSslHeapCounts openSsl[2];
    Client *const clients[2] = {&library, &raw};
    for (int c = 0; c < 2; ++c) {
        SeamCounter counter;
        StartCountingOpenSslHeap();
        for (std::uint32_t size : kEchoSizes) {
            clients[c]->SetEcho(Pattern(size));
            for (unsigned i = 0; ok && i < kPerSize; ++i) ok = clients[c]->CheckedEcho();
        }
        openSsl[c] = StopCountingOpenSslHeap();
        if (c == 0) allocations = counter.Counts().allocations;
    }
    std::printf(
        "\nper TLS exchange %u exchanges of all sizes after the handshake: the library's heap %d;\n"
        "                 OpenSSL's under the library %lu (%s), under the raw client %lu (%s)\n",
        exchanges, allocations, openSsl[0].allocations, openSsl[0].where.c_str(), openSsl[1].allocations,
        openSsl[1].where.c_str());
    bool holds = ok && allocations == 0;
    std::printf("%-16s goal: 0 allocations of the library's: %s\n", "", holds ? "holds" : "DOES NOT HOLD");
    return holds;
}

// The TLS figures against a second server that serves TLS; the plain server
// serves the plain library client that runs in the same rounds.
bool RunTls(const Settings &settings, std::uint16_t plainPort, std::uint16_t tlsPort, const RawTls &rawTls) {
    const std::string ca = std::string(KEL_TLS_CERT_DIR) + "/ca.pem";
    LibraryClient library(tlsPort, ca.c_str()), plain(plainPort);
    RawClient raw(tlsPort, false, &rawTls);
    const Clients clients = {&library, &raw, &plain};
    if (!library.Open() || !raw.Open() || !plain.Open()) {
        std::printf("kelbench: cannot connect to the in-process TLS server\n");
        return false;
    }
    std::printf(
        "\nover TLS (verify-full; %s): the library against OpenSSL used directly, and the library\n"
        "without TLS in the same rounds\n",
        KEL_TLS_CERT_DIR "/server.pem");
    return RunTimings(clients, settings, TlsFigures(), {"library TLS", "raw OpenSSL", "lib TLS/lib plain"}) &&
           TlsExchangeCosts(library, raw);
}

}  // namespace
}  // namespace kelbench

int main(int argc, char **argv) {
    using namespace kelbench;
    Settings settings;
    bool help = false;
    if (!ParseArguments(argc, argv, &settings, &help) || help) {
        std::fputs(kUsage, help ? stdout : stderr);
        return help ? 0 : 2;
    }
    CountOpenSslHeap();  // before anything uses OpenSSL
    std::printf("kelbench (%s): the library against a raw-socket client, same bytes, same server\n",
                keltools::VersionLine("kelapi").c_str());
    PrintMachine("at start");
    std::printf("cpus: %u online, allowed %s\n", std::thread::hardware_concurrency(),
                FirstLineOf("/proc/self/status", "Cpus_allowed_list:\t").c_str());

    kelsrv::Options options;
    options.address = "127.0.0.1";
    options.port = 0;  // any free port; no user list: every user id is let in
    kelsrv::Server server;
    std::string error;
    if (!server.Start(options, &error)) {
        std::printf("kelbench: %s\n", error.c_str());
        return 1;
    }
    bool ok = RunAll(settings, server.Port());
    // TLS where this build has it: a second server, the same engine, serving TLS.
    const std::string certs = KEL_TLS_CERT_DIR;
    RawTls rawTls(certs + "/ca.pem");
    kelsrv::Options tlsOptions = options;
    tlsOptions.tls = kelsrv::LoadTls(certs + "/server.pem", certs + "/server.key", &error);
    kelsrv::Server tlsServer;
    if (ok && rawTls.Ready() && tlsOptions.tls) {
        ok = tlsServer.Start(tlsOptions, &error) && RunTls(settings, server.Port(), tlsServer.Port(), rawTls);
        tlsServer.Stop();
    } else if (ok) {
        std::printf("\n(no TLS figures: this build has no TLS)\n");
    }
    server.Stop();
    PrintMachine("at end");
    return ok ? 0 : 1;
}
