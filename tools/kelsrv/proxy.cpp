#include "proxy.h"

#include <vector>

#include "log.h"
#include "thread.h"

namespace kelsrv {
namespace {

// What one receive takes at most before it is passed on.
constexpr std::size_t kPumpChunk = 64 * 1024;

const char *Source(Side side) { return side == Side::Client ? "the client" : "the host"; }

RecordItem EndItem(Side from, const char *end, const std::string &reason) {
    RecordItem item;
    item.kind = RecordItem::Kind::End;
    item.from = from;
    item.end = end;
    item.reason = reason;
    return item;
}

}  // namespace

// One proxied connection. Its host socket is closed by whoever cuts it
// first: Stop (where waking a receiver closes it) or Serve at the end.
struct Proxy::Link {
    unsigned long number = 0;
    netio::Socket client = netio::kInvalidSocket;
    netio::Socket host = netio::kInvalidSocket;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::atomic<std::uint64_t> bytesFrom[2] = {{0}, {0}};  // by Side
};

Proxy::Proxy(const Options &options, std::unique_ptr<RecordWriter> record)
    : options_(options), target_(ForwardTarget(options)), record_(std::move(record)), log_(options.log) {}

void Proxy::Serve(netio::Socket client, unsigned long number) {
    Link link;
    link.number = number;
    link.client = client;
    ++sessions_;
    log_(number, "opened from " + netio::PeerName(client) + ", forwarding to " + target_);
    std::string error;
    const netio::Socket host =
        netio::ConnectByName(options_.forwardHost, options_.forwardPort,
                             static_cast<unsigned>(options_.connectTimeout.count()), &error);
    if (host == netio::kInvalidSocket) {
        const std::string why = "cannot reach " + target_ + ": " + error;
        log_(number, why + "; closing the client's connection");
        Record(link, EndItem(Side::Host, "failed", why));
        return;
    }
    link.host = host;
    if (!Register(&link)) return;
    for (netio::Socket s : {client, host}) {
        if (options_.idleTimeout.count() == 0) break;
        netio::SetReceiveTimeout(s, static_cast<unsigned>(options_.idleTimeout.count()));
        netio::SetSendTimeout(s, static_cast<unsigned>(options_.idleTimeout.count()));
    }
    Thread hostSide;
    std::string why;
    if (hostSide.Start([this, &link] { Pump(&link, Side::Host); }, kConnectionStackBytes, &why)) {
        Pump(&link, Side::Client);
        hostSide.Join();
    } else {
        log_(number, "cannot start a thread for the host's side: " + why + "; closing");
    }
    Unregister(&link);
    log_(number, "closed after " + std::to_string(link.bytesFrom[0].load()) + " bytes from the client and " +
                     std::to_string(link.bytesFrom[1].load()) + " from the host");
}

// Passes one direction on until it ends, then tells the other side.
void Proxy::Pump(Link *link, Side from) {
    const bool fromClient = from == Side::Client;
    netio::Socket in, out;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        in = fromClient ? link->client : link->host;
        out = fromClient ? link->host : link->client;
    }
    FrameScanner scanner;
    std::vector<std::uint8_t> buffer(kPumpChunk);
    std::string failure;
    for (;;) {
        const long n = netio::ReceiveSome(in, buffer.data(), buffer.size());
        if (n < 0)
            failure = netio::TimedOut()
                          ? std::string("no byte from ") + Source(from) + " for " +
                                DurationText(options_.idleTimeout)
                          : std::string("connection to ") + Source(from) + " lost: " + netio::LastError();
        if (n <= 0) break;
        Decode(link, from, buffer.data(), static_cast<std::size_t>(n), &scanner);
        link->bytesFrom[fromClient ? 0 : 1] += static_cast<std::uint64_t>(n);
        if (!netio::SendAll(out, buffer.data(), static_cast<std::size_t>(n))) {
            failure = std::string("cannot pass bytes on to ") +
                      Source(fromClient ? Side::Host : Side::Client) + ": " + netio::LastError();
            break;
        }
    }
    EndDirection(link, from, scanner, failure);
}

// Logs and records the frames that bytes complete, before they are passed
// on: the record has a request before the reply that it provokes.
void Proxy::Decode(Link *link, Side from, const std::uint8_t *bytes, std::size_t len, FrameScanner *scanner) {
    const bool wasLost = scanner->Lost();
    scanner->Feed(bytes, len, [&](const Frame &frame) {
        ++frames_;
        log_(link->number, FrameLine(from == Side::Client, frame));
        if (!record_) return;
        RecordItem item;
        item.from = from;
        item.frame = frame;
        Record(*link, std::move(item));
    });
    if (wasLost || !scanner->Lost()) return;
    log_(link->number, std::string(from == Side::Client ? "client -> host: " : "host -> client: ") +
                           scanner->LostReason() +
                           ", so this is no frame: the rest of this direction is passed on undecoded");
    RecordItem lost;
    lost.kind = RecordItem::Kind::Lost;
    lost.from = from;
    lost.reason = scanner->LostReason();
    Record(*link, std::move(lost));
}

// Records how the direction ended before the other side learns of it, so
// that the record keeps the order in which the two sides saw things. An
// orderly end is passed on as an end of stream, a failure cuts both sides.
void Proxy::EndDirection(Link *link, Side from, const FrameScanner &scanner, const std::string &failure) {
    const std::string direction = from == Side::Client ? "client -> host: " : "host -> client: ";
    const bool cut = failure.empty() && scanner.Pending() > 0 && !scanner.Lost();
    Record(*link, EndItem(from, !failure.empty() ? "failed" : cut ? "cut" : "closed", failure));
    if (!failure.empty()) {
        log_(link->number, direction + failure + "; closing both sides");
        netio::ShutdownBoth(link->client);
        CutHost(link);
        return;
    }
    log_(link->number,
         direction + "closed by " + Source(from) +
             (cut ? " inside a frame, " + std::to_string(scanner.Pending()) + " bytes of it passed on" : ""));
    std::lock_guard<std::mutex> lock(mutex_);
    const netio::Socket other = from == Side::Client ? link->host : link->client;
    if (other != netio::kInvalidSocket) netio::ShutdownSend(other);
}

void Proxy::Record(const Link &link, RecordItem item) {
    if (!record_) return;
    item.time = SecondsSince(link.start);
    const std::string failure = record_->Write(link.number, item);
    if (failure.empty()) return;
    recordFailed_ = true;
    log_.Line(failure);
}

void Proxy::CutHost(Link *link) {
    std::lock_guard<std::mutex> lock(mutex_);
    CutHostLocked(link);
}

void Proxy::CutHostLocked(Link *link) {
    if (link->host != netio::kInvalidSocket && netio::WakeReceiver(link->host))
        link->host = netio::kInvalidSocket;
}

bool Proxy::Register(Link *link) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
        netio::Close(link->host);
        return false;
    }
    links_.insert(link);
    return true;
}

void Proxy::Unregister(Link *link) {
    std::lock_guard<std::mutex> lock(mutex_);
    links_.erase(link);
    netio::Close(link->host);
    link->host = netio::kInvalidSocket;
}

void Proxy::Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (Link *link : links_) CutHostLocked(link);
}

std::string Proxy::Summary() const {
    if (!record_) return "";
    return "recorded " + std::to_string(frames_.load()) + " frame(s) of " + std::to_string(sessions_.load()) +
           " session(s) in " + options_.recordPath;
}

int Proxy::ExitCode() const { return recordFailed_ ? kExitRecordFile : kExitStopped; }

}  // namespace kelsrv
