// kelsrv as a proxy and as a replaying host: the frames it cuts from a
// passing stream and the lines it makes of them, the record file, and whole
// sessions through the proxy to kelsrv's engine, recorded and replayed byte
// for byte, in-process over loopback sockets.
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "frame_stream.h"
#include "protocol.h"
#include "raw_client.h"
#include "record.h"
#include "relay.h"
#include "replay.h"
#include "server.h"
#include "silent_peer.h"

namespace kelsrv_test {
namespace {

using kelsrv::Frame;
using kelsrv::RecordItem;

Bytes Text(const std::string &text) { return Bytes(text.begin(), text.end()); }

std::string FileText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// What a scanner makes of a stream fed to it in pieces of chunk bytes.
struct Scan {
    std::vector<std::string> frames;  // DescribeFrame of each
    std::size_t pending = 0;
    std::string lost;
};

Scan ScanInPieces(const Bytes &stream, std::size_t chunk) {
    kelsrv::FrameScanner scanner;
    Scan scan;
    for (std::size_t at = 0; at < stream.size(); at += chunk)
        scanner.Feed(stream.data() + at, std::min(chunk, stream.size() - at),
                     [&scan](const Frame &frame) { scan.frames.push_back(kelsrv::DescribeFrame(frame)); });
    scan.pending = scanner.Pending();
    scan.lost = scanner.LostReason();
    return scan;
}

TEST(RelayFrames, AStreamIsCutIntoTheSameFramesHoweverItArrives) {
    const Bytes logon =
        Concat(FrameBytes(KEL_CMD_LOGON, 0, 41), Concat(Text("demo"), Concat(Bytes(5, 0), Bytes(32, 0x77))));
    const struct {
        const char *what;
        Bytes stream;
        std::vector<std::string> frames;
        std::size_t pending;
        const char *lost;
    } kCases[] = {
        {"an identify request",
         IdentifyRequest(),
         {"0x80000001 KEL_CMD_IDENTIFY flags 0x08 data 88: 43 01 01 00 00 01 00 01 48 6f 78 2f 50 79 6d 20 "
          "..."},
         0,
         ""},
        {"every word, then a frame without any",
         Concat(FrameBytes(0x40000200, 0x00030004, 2, 1, 3, 0x20),
                Concat(Text("ab"), FrameBytes(KEL_RSP_DISCONNECT))),
         {"0x40000200 flags 0x2F parm1 0x00000001 retcode 0x00030004 parm3 0x00000003 data 2: 61 62",
          "0x40000003 KEL_RSP_DISCONNECT flags 0x00 data 0"},
         0,
         ""},
        {"an ignore frame, whose data length announces nothing",
         Concat(FrameBytes(KEL_CMD_IGNORE, 0, 5), FrameBytes(KEL_CMD_DISCONNECT)),
         {"0x80000008 KEL_CMD_IGNORE flags 0x08 data 5 (announced; an ignore frame carries none)",
          "0x80000003 KEL_CMD_DISCONNECT flags 0x00 data 0"},
         0,
         ""},
        {"a logon block",
         logon,
         {"0x80000002 KEL_CMD_LOGON flags 0x08 data 41: user 'demo', password scrambled, 16 bytes, "
          "password2 scrambled, 16 bytes"},
         0,
         ""},
        {"a stream that ends inside a frame's data",
         Concat(FrameBytes(kelsrv::kCmdEcho, 0, 4), Text("ab")),
         {},
         11,
         ""},
        {"bytes that are no frame",
         Concat(Text("GET / HTTP/1.1\r\nHost: x\r\n\r\n"), FrameBytes(KEL_CMD_DISCONNECT)),
         {},
         21,
         "a frame 0x47455420 announces 1869837370 bytes of data"},
    };
    for (const auto &c : kCases) {
        for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, c.stream.size()}) {
            const Scan scan = ScanInPieces(c.stream, chunk);
            EXPECT_EQ(scan.frames, c.frames) << c.what << ", in pieces of " << chunk;
            EXPECT_EQ(scan.pending, c.pending) << c.what << ", in pieces of " << chunk;
            EXPECT_EQ(scan.lost, c.lost) << c.what << ", in pieces of " << chunk;
        }
    }
}

Frame MakeFrame(std::uint32_t code, std::uint8_t flags, const Bytes &data = {}, std::uint32_t parm1 = 0,
                std::uint32_t retCode = 0, std::uint32_t parm3 = 0) {
    Frame frame;
    frame.header.dwCommand = code;
    frame.header.bFlags = flags;
    frame.header.dwParm1 = parm1;
    frame.header.dwRetCode = retCode;
    frame.header.dwParm3 = parm3;
    frame.header.dwDataLen = static_cast<std::uint32_t>(data.size());
    frame.data = data;
    return frame;
}

RecordItem Item(RecordItem::Kind kind, kelsrv::Side from, const std::string &end = "",
                const std::string &reason = "", Frame frame = {}) {
    RecordItem item;
    item.kind = kind;
    item.from = from;
    item.time = 0.25;
    item.frame = std::move(frame);
    item.end = end;
    item.reason = reason;
    return item;
}

TEST(RelayRecord, LinesReadBackAsWrittenAndHoldNoPassword) {
    using Kind = RecordItem::Kind;
    const Bytes logonBlock = Concat(Text("demo"), Concat(Bytes(5, 0), Bytes(32, 0x77)));
    const std::vector<RecordItem> items = {
        Item(Kind::Frame, kelsrv::Side::Client, "", "", MakeFrame(KEL_CMD_LOGON, 0x08, logonBlock)),
        Item(Kind::Frame, kelsrv::Side::Host, "", "",
             MakeFrame(0x40000200, 0x2F, Text(std::string("\xff\x00z", 3)), 1, 2, 0)),
        Item(Kind::Frame, kelsrv::Side::Host, "", "", MakeFrame(KEL_CMD_IGNORE, 0x08)),
        Item(Kind::Lost, kelsrv::Side::Client, "", "a frame 0x47455420 announces 1869837370 bytes of data"),
        Item(Kind::End, kelsrv::Side::Client, "cut"),
        Item(Kind::End, kelsrv::Side::Host, "failed", "no byte from the host for 300 s"),
    };
    std::ostringstream file;
    file << kelsrv::RecordVersionLine("host:2893") << "\n" << kelsrv::RecordLine(7, items[5]) << "\n";
    for (const RecordItem &item : items) file << kelsrv::RecordLine(3, item) << "\n";
    std::istringstream in(file.str());
    kelsrv::Recording recording;
    std::string error;
    ASSERT_TRUE(kelsrv::ReadRecording(in, "test", &recording, &error)) << error;
    ASSERT_EQ(recording.sessions.size(), 2u);
    EXPECT_EQ(recording.sessions[0].number, 3u);
    ASSERT_EQ(recording.sessions[0].items.size(), items.size());
    for (std::size_t i = 0; i < items.size(); ++i)
        EXPECT_EQ(kelsrv::RecordLine(3, recording.sessions[0].items[i]), kelsrv::RecordLine(3, items[i]))
            << i;
    // The line of an ignore frame with dwDataLen 0 present stays exact.
    EXPECT_EQ(kelsrv::EncodeExactly(recording.sessions[0].items[2].frame),
              Concat(FrameBytes(KEL_CMD_IGNORE, 0, 0, 0, 0, 0x08), Bytes(4, 0)));
    const Bytes recordedLogon = recording.sessions[0].items[0].frame.data;
    EXPECT_EQ(recordedLogon, Concat(Text("demo"), Bytes(37, 0)))
        << "the password fields are recorded as zeros";
}

TEST(RelayRecord, ADamagedRecordIsRefusedWithItsLine) {
    const std::string version = "{\"kelsrv_record\":1}\n";
    const std::string line = R"({"session":1,"time":0,"from":"client",)";
    const struct {
        const char *what;
        std::string text;
        const char *error;
    } kCases[] = {
        {"an empty file", "", "record file rec.jsonl holds no session"},
        {"a version line alone", version, "holds no session"},
        {"a line cut short", version + line, "rec.jsonl line 2: not JSON (at byte 39)"},
        {"no text at all", "\x89PNG\r\n\x1a\n", "line 1: not JSON"},
        {"no version line", line + R"("end":"closed"})", "line 1: no version line"},
        {"a newer version", "{\"kelsrv_record\":2}\n", "line 1: version 2, but this kelsrv reads version 1"},
        {"not an object", version + "[1]", "line 2: not a JSON object"},
        {"no session", version + R"({"time":0,"from":"client","end":"closed"})", "'session' is missing"},
        {"session 0", version + R"({"session":0,"time":0,"from":"client","end":"closed"})",
         "sessions count from 1"},
        {"a third side", version + R"({"session":1,"time":0,"from":"server","end":"closed"})",
         "'from' is neither"},
        {"no time", version + R"({"session":1,"from":"client","end":"closed"})", "'time' is no number"},
        {"an unannounced word", version + line + R"("code":"0x80000003","flags":"0x00","parm1":5})",
         "'parm1' is there, but the flags do not announce it"},
        {"an announced word missing", version + line + R"("code":"0x80000003","flags":"0x02"})",
         "'retcode' is missing: the flags announce it"},
        {"data that is no base64", version + line + R"("code":1,"flags":8,"data_len":3,"data":"YW*j"})",
         "'data' is no base64"},
        {"data of another length", version + line + R"("code":1,"flags":8,"data_len":4,"data":"YWJj"})",
         "3 bytes of 'data', but 4 follow this frame"},
        {"more data than a frame carries", version + line + R"("code":1,"flags":8,"data_len":16777217})",
         "'data_len' is larger than 16777216"},
        {"a code beyond 32 bits", version + line + R"("code":"0x100000000","flags":0})",
         "'code' is no number"},
        {"an unknown field", version + line + R"("end":"closed","colour":"red"})", "unknown field 'colour'"},
        {"an unknown end", version + line + R"("end":"exploded"})", "'end' is neither"},
        {"neither frame nor event", version + R"({"session":1,"time":0,"from":"host"})",
         "neither 'code' nor 'lost' nor 'end'"},
    };
    for (const auto &c : kCases) {
        std::istringstream in(c.text);
        kelsrv::Recording recording;
        std::string error;
        EXPECT_FALSE(kelsrv::ReadRecording(in, "rec.jsonl", &recording, &error)) << c.what;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(error.rfind("record file rec.jsonl", 0), 0u) << c.what << ": " << error;
    }
    kelsrv::Recording recording;
    std::string error;
    EXPECT_FALSE(kelsrv::LoadRecording(".", &recording, &error));
    EXPECT_EQ(error, "record file . is a directory");
    EXPECT_FALSE(kelsrv::LoadRecording("no-such-folder/rec.jsonl", &recording, &error));
    EXPECT_EQ(error.rfind("cannot read record file no-such-folder/rec.jsonl", 0), 0u) << error;
}

TEST(RelayReplay, AFrameDiffersInItsFirstDifferentFieldAndNotInWhatIsNotCompared) {
    const Frame echo = MakeFrame(kelsrv::kCmdEcho, 0x09, Text("hello"), 42);
    const Frame identify = MakeFrame(KEL_CMD_IDENTIFY, 0x08, Bytes(88, 1));
    const Frame logon = MakeFrame(KEL_CMD_LOGON, 0x08, Concat(Text("demo"), Bytes(37, 0)));
    const struct {
        const char *what;
        const Frame &recorded;
        std::function<void(Frame *)> change;
        const char *difference;
    } kCases[] = {
        {"the same frame", echo, [](Frame *) {}, ""},
        {"the code", echo, [](Frame *f) { f->header.dwCommand = 0x80000101; },
         "code: recorded 0x80000100, got 0x80000101"},
        {"an application's flag bit", echo, [](Frame *f) { f->header.bFlags |= 0x20; },
         "flags: recorded 0x09, got 0x29"},
        {"a word", echo, [](Frame *f) { f->header.dwParm1 = 43; },
         "dwParm1: recorded 0x0000002A, got 0x0000002B"},
        {"a word of 0 sent where none was", echo, [](Frame *f) { f->header.bFlags |= KEL_FLAG_PARM3; }, ""},
        {"a data byte", echo, [](Frame *f) { f->data[4] = '!'; }, "data byte 4: recorded 0x6F, got 0x21"},
        {"the identify block's content", identify, [](Frame *f) { f->data[8] = 'x'; }, ""},
        {"a logon's password fields", logon, [](Frame *f) { f->data[9] = f->data[40] = 0x5A; }, ""},
        {"a logon's user id", logon, [](Frame *f) { f->data[0] = 'D'; },
         "data byte 0: recorded 0x64, got 0x44"},
    };
    for (const auto &c : kCases) {
        Frame received = c.recorded;
        c.change(&received);
        EXPECT_EQ(kelsrv::FirstDifference(c.recorded, received), c.difference) << c.what;
    }
}

// kelsrv's engine as the host, and a proxy or replay in front of it.
class Relay : public ::testing::Test {
protected:
    void SetUp() override {
        kelsrv::Options options;
        options.port = 0;
        options.description = "relay test host";
        options.logonData = 0x5A;
        std::string error;
        options.users.emplace_back();
        ASSERT_TRUE(kelsrv::ParseUserOption("alice:secret", &options.users.back(), &error)) << error;
        options.log = [this](const std::string &line) { Keep(&hostLog_, line); };
        host_ = std::make_unique<kelsrv::Server>();
        ASSERT_TRUE(host_->Start(options, &error)) << error;
        record_ = ::testing::TempDir() + "kelsrv_relay_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".jsonl";
        std::remove(record_.c_str());
    }
    void TearDown() override {
        relay_.reset();
        host_.reset();
        std::remove(record_.c_str());
    }

    kelsrv::Options RelayOptions() {
        kelsrv::Options options;
        options.port = 0;
        options.log = [this](const std::string &line) { Keep(&relayLog_, line); };
        return options;
    }
    // A proxy to port (the host's by default) that records to record_.
    void StartProxy(kelsrv::Options options, std::uint16_t port = 0) {
        options.forwardHost = "localhost";
        options.forwardPort = port ? port : host_->Port();
        options.recordPath = record_;
        StartRelay(options);
    }
    void StartReplay() {
        kelsrv::Options options = RelayOptions();
        auto recording = std::make_shared<kelsrv::Recording>();
        std::string error;
        ASSERT_TRUE(kelsrv::LoadRecording(record_, recording.get(), &error)) << error;
        options.replay = recording;
        StartRelay(options);
    }
    void StartRelay(const kelsrv::Options &options) {
        relay_.reset();
        std::string error;
        ASSERT_TRUE(kelsrv::MakeConnectionHandler(options, &handler_, &error)) << error;
        relay_ = std::make_unique<kelsrv::Server>(kelsrv::ThreadStarter{}, handler_.get());
        ASSERT_TRUE(relay_->Start(options, &error)) << error;
    }

    // A whole session: each request with the reply kelsrv's engine gives.
    std::vector<std::pair<Bytes, Bytes>> Session(RawClient *client, const Bytes &echoData) {
        Bytes identifyReply = Concat({0x53, 0, 0, 1, 0, 1, 0, 0}, Text("relay test host"));
        identifyReply.resize(88, 0);
        Bytes chattyReply;
        for (std::uint32_t round = 1; round <= 2; ++round) {
            Bytes note(20);
            for (std::size_t i = 0; i < note.size(); ++i) note[i] = static_cast<std::uint8_t>(i);
            chattyReply = Concat(chattyReply, Concat(FrameBytes(kelsrv::kNoteFrame, 0, 20, round), note));
            chattyReply = Concat(chattyReply, FrameBytes(KEL_CMD_IGNORE, 0, 0, round));
        }
        const auto size = static_cast<std::uint32_t>(echoData.size());
        return {{IdentifyRequest(), Concat(FrameBytes(KEL_RSP_IDENTIFY, 0, 88), identifyReply)},
                {client->LogonRequest("alice", "secret"), Concat(FrameBytes(KEL_RSP_LOGON, 0, 1), {0x5A})},
                {Concat(FrameBytes(kelsrv::kCmdEcho, 0, size, 7), echoData),
                 Concat(FrameBytes(kelsrv::kRspEcho, 0, size, 7), echoData)},
                {FrameBytes(kelsrv::kCmdChatty, 0, 0, 20, 2),
                 Concat(chattyReply, FrameBytes(kelsrv::kRspChatty, 0, 0, 2))},
                {FrameBytes(KEL_CMD_DISCONNECT), FrameBytes(KEL_RSP_DISCONNECT)}};
    }
    // Runs a whole session against the relay; true when every reply came as kelsrv's engine gives it.
    bool PlaySession(const Bytes &echoData) {
        RawClient client(relay_->Port());
        bool same = true;
        for (const auto &step : Session(&client, echoData))
            same = client.Ask(step.first, step.second) == step.second && same;
        return same && client.AtEnd();
    }

    std::vector<std::string> RelayLines(const std::string &part) {
        std::lock_guard<std::mutex> lock(logMutex_);
        std::vector<std::string> found;
        for (const std::string &line : relayLog_)
            if (line.find(part) != std::string::npos) found.push_back(line);
        return found;
    }
    // Waits until the relay has logged a line with part; false after 10 s.
    bool RelayLogs(const std::string &part) {
        for (int i = 0; i < 2000 && RelayLines(part).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return !RelayLines(part).empty();
    }
    bool HostLogged(const std::string &part) {
        std::lock_guard<std::mutex> lock(logMutex_);
        for (const std::string &line : hostLog_)
            if (line.find(part) != std::string::npos) return true;
        return false;
    }
    void Keep(std::vector<std::string> *log, const std::string &line) {
        std::lock_guard<std::mutex> lock(logMutex_);
        log->push_back(line);
    }

    std::mutex logMutex_;
    std::vector<std::string> hostLog_, relayLog_;
    std::string record_;
    std::unique_ptr<kelsrv::Server> host_;
    std::unique_ptr<kelsrv::ConnectionHandler> handler_;
    std::unique_ptr<kelsrv::Server> relay_;  // last: stopped first
};

Bytes Pattern(std::size_t size) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return data;
}

TEST_F(Relay, TheProxyPassesEveryByteOnAndLogsAndRecordsEachFrameOnceWithoutThePassword) {
    StartProxy(RelayOptions());
    EXPECT_TRUE(PlaySession(Pattern(70000)));
    ASSERT_TRUE(RelayLogs("connection 1: closed after"));
    relay_->Stop();
    // Identify, logon, echo, chatty, disconnect; their replies, with two notes and ignore frames each.
    EXPECT_EQ(RelayLines("client -> host 0x").size(), 5u);
    EXPECT_EQ(RelayLines("host -> client 0x").size(), 9u);
    EXPECT_EQ(RelayLines("password scrambled, 16 bytes, password2 none (zeros)").size(), 1u);
    EXPECT_EQ(RelayLines("secret").size(), 0u);
    EXPECT_EQ(FileText(record_).find("secret"), std::string::npos);
    EXPECT_EQ(handler_->Summary(), "recorded 14 frame(s) of 1 session(s) in " + record_);
    kelsrv::Recording recording;
    std::string error;
    ASSERT_TRUE(kelsrv::LoadRecording(record_, &recording, &error)) << error;
    ASSERT_EQ(recording.sessions.size(), 1u);
    const auto &items = recording.sessions[0].items;
    ASSERT_EQ(items.size(), 16u);  // the frames, and the end of each direction
    EXPECT_EQ(items[2].frame.data, Concat(Text("alice"), Bytes(36, 0)));
    EXPECT_EQ(items[4].frame.data, Pattern(70000));
}

TEST_F(Relay, ARecordingIsReplayedByteForByteAndTheFirstDifferentFrameFailsItsClient) {
    StartProxy(RelayOptions());
    ASSERT_TRUE(PlaySession(Pattern(70000)));
    ASSERT_TRUE(PlaySession(Text("hello")));
    ASSERT_TRUE(RelayLogs("connection 2: closed after"));
    StartReplay();
    EXPECT_TRUE(PlaySession(Pattern(70000)));
    {
        RawClient client(relay_->Port());
        const auto session = Session(&client, Text("hello"));
        for (std::size_t i = 0; i < 2; ++i)
            EXPECT_EQ(client.Ask(session[i].first, session[i].second), session[i].second);
        EXPECT_TRUE(client.Send(Concat(FrameBytes(kelsrv::kCmdEcho, 0, 5, 7), Text("hellO"))));
        EXPECT_TRUE(client.AtEnd());
    }
    EXPECT_TRUE(PlaySession(Pattern(70000))) << "the third client gets the first session again";
    ASSERT_TRUE(RelayLogs("connection 3: session 1 replayed in full"));
    relay_->Stop();
    EXPECT_EQ(RelayLines("differs").size(), 1u);
    EXPECT_EQ(RelayLines(
                  "connection 2: session 2, client frame 3: differs in data byte 4: recorded 0x6F, got 0x4F; "
                  "closing")
                  .size(),
              1u);
    EXPECT_EQ(
        RelayLines("connection 2:   recorded: 0x80000100 flags 0x09 parm1 0x00000007 data 5: 68 65 6c 6c 6f")
            .size(),
        1u);
    EXPECT_EQ(
        RelayLines("connection 2:   received: 0x80000100 flags 0x09 parm1 0x00000007 data 5: 68 65 6c 6c 4f")
            .size(),
        1u);
    EXPECT_EQ(handler_->Summary(), "replayed 2 session(s) in full, 1 differed");
    EXPECT_EQ(handler_->ExitCode(), kelsrv::kExitReplayDiffered);
}

TEST_F(Relay, TheProxySaysWhenTheHostIsDownOrDoesNotAnswerAndAStopEndsEveryConnection) {
    kel_test::SilentPeer silent;
    kel_test::FullListener full;
    const std::uint16_t closedPort = kel_test::ClosedPort();
    const struct {
        const char *what;
        std::uint16_t port;
        unsigned idleMs;
        const char *said;
    } kCases[] = {
        {"a host that is down", closedPort, 0, "cannot reach localhost:"},
        {"a host whose connect never completes", full.Port(), 0, "cannot reach localhost:"},
        {"a host that never answers", silent.Port(), 200, "no byte from the "},
        {"a host that never answers, and a stop", silent.Port(), 0, "client -> host 0x80000001"},
    };
    for (const auto &c : kCases) {
        kelsrv::Options options = RelayOptions();
        options.connectTimeout = std::chrono::milliseconds(300);
        options.idleTimeout = std::chrono::milliseconds(c.idleMs);
        StartProxy(options, c.port);
        RawClient client(relay_->Port());
        ASSERT_TRUE(client.Send(IdentifyRequest()));
        EXPECT_TRUE(RelayLogs(c.said)) << c.what;
        relay_->Stop();
        EXPECT_TRUE(client.Cut()) << c.what;
        std::lock_guard<std::mutex> lock(logMutex_);
        relayLog_.clear();
    }
}

TEST_F(Relay, BytesThatAreNoFrameAreStillPassedOnAndSaidOnce) {
    StartProxy(RelayOptions());
    {
        RawClient client(relay_->Port());
        ASSERT_TRUE(client.Send(Text("GET / HTTP/1.1\r\nHost: x\r\n\r\n")));
        ASSERT_TRUE(client.Send(Bytes(5000, 0xFF)));
    }
    ASSERT_TRUE(RelayLogs("connection 1: closed after"));
    relay_->Stop();
    EXPECT_TRUE(HostLogged("unknown command 0x47455420"));
    EXPECT_EQ(RelayLines("so this is no frame: the rest of this direction is passed on undecoded").size(),
              1u);
    EXPECT_EQ(RelayLines("closed after 5027 bytes from the client").size(), 1u);
}

}  // namespace
}  // namespace kelsrv_test
