// Arbitrary client bytes against one kelsrv session over a socket pair.
//
// Input: byte 0 picks the misbehaviour (low three bits) and whether the
// server has users (bit 3); bytes 1 and 2 are the close-after count (big
// endian); the rest is what the client sends before it shuts its side.
// A client thread sends it and reads everything the session answers.
//
// What must always hold: the session ends on its own; every log line is
// printable ASCII, of bounded length and count; what the session sends is
// a stream of whole frames (cut only by close-after) whose return codes
// are documented ones. The same client bytes, as a proxy sees them in
// pieces, make one printable line per frame and record lines that read back
// as written, with a logon block's password fields as zeros. Crashes, leaks
// and hangs are the sanitizers' and libFuzzer's to report.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "netio.h"
#include "frame_stream.h"
#include "options.h"
#include "protocol.h"
#include "record.h"
#include "session.h"
#include "wire.h"

namespace {

using kelsrv::Bytes;

// After this much of the answers (the largest echo reply and then some)
// the client hangs up: chatty requests of 100 MiB would take seconds.
constexpr std::size_t kMaxAnswerBytes = kelsrv::kMaxBufferedBytes + 65536;

// The longest log line: "connection N: " and the longest event, a logon
// with a user id of 9 bytes, each escaped to 4 characters.
constexpr std::size_t kMaxLogLine = 120;

void Check(bool condition, const char *what) {
    if (condition) return;
    std::fprintf(stderr, "kelsrv fuzz: %s\n", what);
    std::abort();
}

kelsrv::Options OptionsFor(const std::uint8_t *head, std::vector<std::string> *log) {
    static const kelsrv::Misbehaviour kModes[] = {
        kelsrv::Misbehaviour::None,
        kelsrv::Misbehaviour::WrongMarker,
        kelsrv::Misbehaviour::IdentifyRetCode,
        kelsrv::Misbehaviour::IdentifyLength,
        kelsrv::Misbehaviour::LogonLength,
        kelsrv::Misbehaviour::NoSkip,
        kelsrv::Misbehaviour::CloseAfter,
        kelsrv::Misbehaviour::None,
    };
    kelsrv::Options options;
    options.misbehaviour = kModes[head[0] & 7];
    options.closeAfterBytes = (std::uint32_t{head[1]} << 8) | head[2];
    if (head[0] & 8) {
        std::string error;
        for (const char *user : {"alice:secret", "bob:pw:second", "carol:pw::0x00040001", "dave::"}) {
            options.users.emplace_back();
            Check(kelsrv::ParseUserOption(user, &options.users.back(), &error), "a user line of the harness");
        }
    }
    options.log = [log](const std::string &line) { log->push_back(line); };
    return options;
}

// Sends what the socket takes at once; the rest is the client thread's.
std::size_t SendWhatFits(int fd, const std::uint8_t *request, std::size_t len) {
    ssize_t n = len ? send(fd, request, len, MSG_NOSIGNAL | MSG_DONTWAIT) : 0;
    std::size_t sent = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (sent == len) shutdown(fd, SHUT_WR);
    return sent;
}

// Sends the rest of request, then shuts the sending side, while reading the
// answers until the session closes or kMaxAnswerBytes have come.
Bytes ActAsClient(int fd, const std::uint8_t *request, std::size_t len) {
    Bytes answers;
    std::uint8_t chunk[65536];
    bool sending = len > 0;
    for (;;) {
        pollfd p{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
        if (poll(&p, 1, -1) < 0) break;
        if (sending && (p.revents & POLLOUT)) {
            ssize_t n = send(fd, request, len, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) request += n, len -= static_cast<std::size_t>(n);
            if (n < 0 || len == 0) shutdown(fd, SHUT_WR), sending = false;
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && !(p.revents & POLLIN))) break;
            if (n > 0) answers.insert(answers.end(), chunk, chunk + n);
            if (answers.size() >= kMaxAnswerBytes) break;
        }
    }
    shutdown(fd, SHUT_RDWR);
    return answers;
}

// The client's thread, started once: a thread per input would cost more
// than most inputs do.
class ClientThread {
public:
    ClientThread() : thread_([this] { Serve(); }) {}
    ~ClientThread() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    void Begin(int fd, const std::uint8_t *request, std::size_t len) {
        std::lock_guard<std::mutex> lock(mutex_);
        fd_ = fd, request_ = request, len_ = len, busy_ = true;
        changed_.notify_all();
    }
    Bytes End() {  // the answers, once the client has hung up
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
        return std::move(answers_);
    }

private:
    void Serve() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return busy_ || quit_; });
            if (quit_) return;
            lock.unlock();
            Bytes answers = ActAsClient(fd_, request_, len_);
            lock.lock();
            answers_ = std::move(answers);
            busy_ = false;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int fd_ = -1;
    const std::uint8_t *request_ = nullptr;
    std::size_t len_ = 0;
    bool busy_ = false, quit_ = false;
    Bytes answers_;
    std::thread thread_;  // last: starts once the rest is there
};

std::set<std::uint32_t> DocumentedCodes(const kelsrv::Options &options) {
    std::set<std::uint32_t> codes{0};
    for (const kelsrv::ReturnCodeInfo &info : kelsrv::kReturnCodes) codes.insert(info.code);
    for (const kelsrv::User &user : options.users) codes.insert(user.refuseCode);
    return codes;
}

// Walks the answers frame by frame; false at a frame or data that is cut off.
bool WholeFramesWithDocumentedCodes(const Bytes &answers, const kelsrv::Options &options) {
    const std::set<std::uint32_t> codes = DocumentedCodes(options);
    std::size_t at = 0;
    while (at < answers.size()) {
        if (answers.size() - at < kelsrv::kFrameHeaderLen) return false;
        const std::size_t headerLen = kelsrv::FrameLength(answers[at + 4]);
        if (answers.size() - at < headerLen) return false;
        const KelCommand frame = kelsrv::DecodeFrame(&answers[at]);
        Check(codes.count(frame.dwRetCode) == 1, "an undocumented return code");
        const bool reply = (frame.dwCommand & 0xC0000000u) == 0x40000000u;
        Check(reply || frame.dwCommand == kelsrv::kNoteFrame || frame.dwCommand == kelsrv::kNoSkipFrame ||
                  frame.dwCommand == KEL_CMD_IGNORE,
              "a frame that is neither a reply nor a note");
        if (answers.size() - at - headerLen < frame.dwDataLen) return false;
        at += headerLen + frame.dwDataLen;
    }
    return true;
}

// The client's bytes as a proxy gets them, in pieces of (byte 0) bytes.
void CheckProxyView(const std::uint8_t *bytes, std::size_t len, std::size_t piece) {
    kelsrv::FrameScanner scanner;
    std::ostringstream record;
    record << kelsrv::RecordVersionLine("fuzz") << "\n";
    std::size_t frames = 0;
    for (std::size_t at = 0; at < len; at += piece) {
        scanner.Feed(bytes + at, std::min(piece, len - at), [&](const kelsrv::Frame &frame) {
            const std::string line = kelsrv::DescribeFrame(frame);
            Check(line.size() < 200, "a frame line too long");
            for (char c : line) Check(c >= 0x20 && c < 0x7F, "a control or non-ASCII byte in a frame line");
            kelsrv::RecordItem item;
            item.frame = frame;
            record << kelsrv::RecordLine(1, item) << "\n";
            ++frames;
        });
    }
    if (frames == 0) return;
    std::istringstream in(record.str());
    kelsrv::Recording recording;
    std::string error;
    Check(kelsrv::ReadRecording(in, "fuzz", &recording, &error), "a record line that does not read back");
    for (const kelsrv::RecordItem &item : recording.sessions[0].items) {
        const bool logon = item.frame.header.dwCommand == KEL_CMD_LOGON;
        for (std::size_t i = 9; logon && i < item.frame.data.size(); ++i)
            Check(item.frame.data[i] == 0, "a recorded password byte");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 3) return 0;
    std::vector<std::string> log;
    const kelsrv::Options options = OptionsFor(data, &log);
    int fds[2];
    Check(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "no socket pair");
    // Sent before the session starts, the request is there for it to read
    // without waiting for the client thread (which is what makes an input fast).
    const std::size_t sent = SendWhatFits(fds[1], data + 3, size - 3);
    static ClientThread client;
    client.Begin(fds[1], data + 3 + sent, size - 3 - sent);
    kelsrv::Session(options, fds[0], 1).Run();
    close(fds[0]);
    const Bytes answers = client.End();
    close(fds[1]);

    const std::size_t frames = (size - 3) / kelsrv::kFrameHeaderLen;
    Check(log.size() <= frames + 3, "more log lines than the requests explain");
    for (const std::string &line : log) {
        Check(line.size() <= kMaxLogLine, "a log line too long");
        for (char c : line) Check(c >= 0x20 && c < 0x7F, "a control or non-ASCII byte in the log");
    }
    const bool cut =
        options.misbehaviour == kelsrv::Misbehaviour::CloseAfter || answers.size() >= kMaxAnswerBytes;
    Check(WholeFramesWithDocumentedCodes(answers, options) || cut, "the answers end inside a frame");
    CheckProxyView(data + 3, size - 3, (data[0] >> 4) + 1u);
    return 0;
}
