// The record of proxied sessions that kelsrv --forward writes and
// kelsrv --replay plays: JSON Lines, a version line first, then one line per
// frame or event of a session (the format is in docs/protocol.md).
#ifndef KELSRV_RECORD_H
#define KELSRV_RECORD_H

#include <cstdio>
#include <istream>
#include <mutex>
#include <string>
#include <vector>

#include "frame_stream.h"

namespace kelsrv {

// The version of the format that this kelsrv writes and reads.
constexpr int kRecordVersion = 1;

enum class Side { Client, Host };

// "client" or "host".
const char *SideName(Side side);

// One line of a session: a frame, the moment a direction stopped making
// sense ("lost"), or the end of a direction.
struct RecordItem {
    enum class Kind { Frame, Lost, End };
    Kind kind = Kind::Frame;
    Side from = Side::Client;
    double time = 0;  // seconds since the session's connection was accepted
    Frame frame;      // Kind::Frame; a logon frame's passwords are recorded as zeros
    // Kind::End: "closed" (between frames), "cut" (inside a frame, whose
    // bytes are not recorded) or "failed".
    std::string end;
    std::string reason;  // Kind::Lost: why; Kind::End: what failed, or ""
};

struct RecordedSession {
    unsigned long number = 0;
    std::vector<RecordItem> items;  // in the order they were recorded
};

struct Recording {
    std::vector<RecordedSession> sessions;  // by ascending number
};

// The first line of a record, for a proxy forwarding to host.
std::string RecordVersionLine(const std::string &host);

// The line of one item of session number, without its newline.
std::string RecordLine(unsigned long session, const RecordItem &item);

// Reads a record (name for the messages). A line that is not JSON, is not
// one of the format's lines or contradicts itself, an unknown version and a
// record without a session are errors that name the line.
bool ReadRecording(std::istream &in, const std::string &name, Recording *recording, std::string *error);

// ReadRecording from the file at path; a file that cannot be read is an error too.
bool LoadRecording(const std::string &path, Recording *recording, std::string *error);

// Writes a record file line by line, from any thread; each line reaches the
// file whole before Write returns.
class RecordWriter {
public:
    RecordWriter() = default;
    ~RecordWriter();
    RecordWriter(const RecordWriter &) = delete;
    RecordWriter &operator=(const RecordWriter &) = delete;

    // Creates (or empties) the file and writes its version line.
    bool Open(const std::string &path, const std::string &host, std::string *error);

    // Writes one line; "" when it went well, else (once) why the record stops.
    std::string Write(unsigned long session, const RecordItem &item);

private:
    std::string WriteLine(const std::string &line);

    std::mutex mutex_;
    std::FILE *file_ = nullptr;
    std::string path_;
    bool failed_ = false;
};

}  // namespace kelsrv

#endif
