#include "record.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>

#include <nlohmann/json.hpp>

#include "input_file.h"
#include "text.h"

namespace kelsrv {
namespace {

using Json = nlohmann::ordered_json;

// ---- Base64 (RFC 4648, with padding), the form of the data in a line

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string ToBase64(const Bytes &data) {
    std::string text;
    text.reserve((data.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < data.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, data.size() - i);
        std::uint32_t group = std::uint32_t{data[i]} << 16;
        if (n > 1) group |= std::uint32_t{data[i + 1]} << 8;
        if (n > 2) group |= data[i + 2];
        for (std::size_t k = 0; k < 4; ++k) text += k <= n ? kBase64[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return text;
}

bool FromBase64(const std::string &text, Bytes *data) {
    if (text.size() % 4 != 0) return false;
    data->clear();
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t group = 0;
        std::size_t padding = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            const char *at = c ? std::strchr(kBase64, c) : nullptr;
            // '=' only at the end of the last group, at most twice.
            if (c == '=' && i + 4 == text.size() && k >= 2 && (k == 3 || text[i + 3] == '=')) {
                ++padding;
            } else if (!at || padding) {
                return false;
            }
            group = (group << 6) | (at ? static_cast<std::uint32_t>(at - kBase64) : 0);
        }
        for (std::size_t k = 0; k < 3 - padding; ++k)
            data->push_back(static_cast<std::uint8_t>(group >> (16 - 8 * k)));
    }
    return true;
}

// ---- Writing

std::string HexByte(std::uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

struct WordField {
    const char *name;
    std::uint8_t bit;
    std::uint32_t KelCommand::*field;
};
constexpr WordField kWordFields[] = {
    {"parm1", KEL_FLAG_PARM1, &KelCommand::dwParm1},
    {"retcode", KEL_FLAG_RETCODE, &KelCommand::dwRetCode},
    {"parm3", KEL_FLAG_PARM3, &KelCommand::dwParm3},
    {"data_len", KEL_FLAG_DATALEN, &KelCommand::dwDataLen},
};

void PutFrame(const Frame &original, Json *line) {
    Frame frame = original;
    ClearPasswords(&frame);
    (*line)["code"] = keltools::Hex32(frame.header.dwCommand);
    (*line)["flags"] = HexByte(frame.header.bFlags);
    for (const WordField &word : kWordFields)
        if (frame.header.bFlags & word.bit) (*line)[word.name] = frame.header.*word.field;
    if (!frame.data.empty()) (*line)["data"] = ToBase64(frame.data);
}

// ---- Reading one line

// The line's fields, taken one by one; what is left over at the end is unknown.
class Fields {
public:
    explicit Fields(Json object) : object_(std::move(object)) {}

    bool Has(const char *name) const { return object_.contains(name); }

    // A number up to max, written as a JSON number or as a decimal or 0x string.
    bool Number(const char *name, unsigned long long max, unsigned long long *value, std::string *error) {
        Json field = Take(name);
        if (field.is_null()) return *error = std::string("'") + name + "' is missing", false;
        if (field.is_number_unsigned()) {
            *value = field.get<unsigned long long>();
        } else if (!field.is_string() || !keltools::ParseNumber(field.get<std::string>(), max, value)) {
            return *error = std::string("'") + name + "' is no number of 0 to " + std::to_string(max), false;
        }
        if (*value <= max) return true;
        return *error = std::string("'") + name + "' is larger than " + std::to_string(max), false;
    }

    bool Text(const char *name, std::string *value, std::string *error) {
        Json field = Take(name);
        if (!field.is_string()) return *error = std::string("'") + name + "' is no text", false;
        *value = field.get<std::string>();
        return true;
    }

    bool Time(double *value, std::string *error) {
        Json field = Take("time");
        if (!field.is_number() || field.get<double>() < 0)
            return *error = "'time' is no number of seconds", false;
        *value = field.get<double>();
        return true;
    }

    // "" when every field was taken; else the name of one that was not.
    std::string Unknown() const { return object_.empty() ? "" : object_.begin().key(); }

private:
    Json Take(const char *name) {
        auto it = object_.find(name);
        if (it == object_.end()) return Json();
        Json field = *it;
        object_.erase(it);
        return field;
    }

    Json object_;
};

bool ReadFrame(Fields *fields, Frame *frame, std::string *error) {
    unsigned long long number = 0;
    if (!fields->Number("code", 0xFFFFFFFFull, &number, error)) return false;
    frame->header.dwCommand = static_cast<std::uint32_t>(number);
    if (!fields->Number("flags", 0xFF, &number, error)) return false;
    frame->header.bFlags = static_cast<std::uint8_t>(number);
    for (const WordField &word : kWordFields) {
        const bool announced = (frame->header.bFlags & word.bit) != 0;
        if (fields->Has(word.name) != announced)
            return *error = std::string("'") + word.name +
                            (announced ? "' is missing: the flags announce it"
                                       : "' is there, but the flags do not announce it"),
                   false;
        if (announced && !fields->Number(word.name, 0xFFFFFFFFull, &number, error)) return false;
        if (announced) frame->header.*word.field = static_cast<std::uint32_t>(number);
    }
    if (DataFollowing(frame->header) > kMaxDecodedDataLen)
        return *error = "'data_len' is larger than " + std::to_string(kMaxDecodedDataLen), false;
    std::string text;
    if (fields->Has("data") && (!fields->Text("data", &text, error) || !FromBase64(text, &frame->data)))
        return *error = "'data' is no base64", false;
    if (frame->data.size() != DataFollowing(frame->header))
        return *error = std::to_string(frame->data.size()) + " bytes of 'data', but " +
                        std::to_string(DataFollowing(frame->header)) + " follow this frame",
               false;
    return true;
}

bool ReadItem(Fields *fields, RecordItem *item, std::string *error) {
    std::string from;
    if (!fields->Time(&item->time, error) || !fields->Text("from", &from, error)) return false;
    if (from != "client" && from != "host")
        return *error = "'from' is neither \"client\" nor \"host\"", false;
    item->from = from == "client" ? Side::Client : Side::Host;
    if (fields->Has("code")) {
        item->kind = RecordItem::Kind::Frame;
        return ReadFrame(fields, &item->frame, error);
    }
    if (fields->Has("lost")) {
        item->kind = RecordItem::Kind::Lost;
        return fields->Text("lost", &item->reason, error);
    }
    item->kind = RecordItem::Kind::End;
    if (!fields->Has("end")) return *error = "neither 'code' nor 'lost' nor 'end'", false;
    if (!fields->Text("end", &item->end, error)) return false;
    if (item->end != "closed" && item->end != "cut" && item->end != "failed")
        return *error = "'end' is neither \"closed\" nor \"cut\" nor \"failed\"", false;
    return !fields->Has("reason") || fields->Text("reason", &item->reason, error);
}

// Parses one line into a JSON object; false with *error if it is none.
bool ParseObject(const std::string &line, Json *object, std::string *error) {
    try {
        *object = Json::parse(line);
    } catch (const Json::parse_error &e) {
        return *error = "not JSON (at byte " + std::to_string(e.byte) + ")", false;
    }
    if (!object->is_object()) return *error = "not a JSON object", false;
    return true;
}

bool ReadVersionLine(const std::string &line, std::string *error) {
    Json object;
    if (!ParseObject(line, &object, error)) return false;
    const auto version = object.find("kelsrv_record");
    if (version == object.end()) return *error = "no version line: it has no 'kelsrv_record'", false;
    if (!version->is_number_unsigned() || version->get<unsigned long long>() != kRecordVersion)
        return *error = "version " + version->dump() + ", but this kelsrv reads version " +
                        std::to_string(kRecordVersion),
               false;
    return true;
}

bool ReadSessionLine(const std::string &line, std::map<unsigned long, RecordedSession> *sessions,
                     std::string *error) {
    Json object;
    if (!ParseObject(line, &object, error)) return false;
    Fields fields(std::move(object));
    unsigned long long session = 0;
    RecordItem item;
    if (!fields.Number("session", 0xFFFFFFFFull, &session, error) || !ReadItem(&fields, &item, error))
        return false;
    if (session == 0) return *error = "'session' is 0; sessions count from 1", false;
    if (!fields.Unknown().empty()) return *error = "unknown field '" + fields.Unknown() + "'", false;
    RecordedSession &recorded = (*sessions)[static_cast<unsigned long>(session)];
    recorded.number = static_cast<unsigned long>(session);
    recorded.items.push_back(std::move(item));
    return true;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    char text[32] = "";
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return text;
}

}  // namespace

const char *SideName(Side side) { return side == Side::Client ? "client" : "host"; }

std::string RecordVersionLine(const std::string &host) {
    Json line;
    line["kelsrv_record"] = kRecordVersion;
    line["host"] = host;
    line["started"] = UtcNow();
    return line.dump();
}

std::string RecordLine(unsigned long session, const RecordItem &item) {
    Json line;
    line["session"] = session;
    line["time"] = item.time;
    line["from"] = SideName(item.from);
    if (item.kind == RecordItem::Kind::Frame) PutFrame(item.frame, &line);
    if (item.kind == RecordItem::Kind::Lost) line["lost"] = item.reason;
    if (item.kind == RecordItem::Kind::End) line["end"] = item.end;
    if (item.kind == RecordItem::Kind::End && !item.reason.empty()) line["reason"] = item.reason;
    // Replaced, not refused: a client's odd bytes must not stop the record.
    return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool ReadRecording(std::istream &in, const std::string &name, Recording *recording, std::string *error) {
    std::map<unsigned long, RecordedSession> sessions;
    std::string line;
    unsigned long number = 0;
    bool versionSeen = false;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty() || line == "\r") continue;
        const bool read =
            versionSeen ? ReadSessionLine(line, &sessions, error) : ReadVersionLine(line, error);
        if (!read)
            return *error = "record file " + name + " line " + std::to_string(number) + ": " + *error, false;
        versionSeen = true;
    }
    if (in.bad())
        return *error = "reading record file " + name + " failed after line " + std::to_string(number), false;
    if (sessions.empty()) return *error = "record file " + name + " holds no session", false;
    recording->sessions.clear();
    for (auto &entry : sessions) recording->sessions.push_back(std::move(entry.second));
    return true;
}

bool LoadRecording(const std::string &path, Recording *recording, std::string *error) {
    std::ifstream in;
    return OpenInputFile(path, "record file", &in, error) && ReadRecording(in, path, recording, error);
}

RecordWriter::~RecordWriter() {
    if (file_) std::fclose(file_);
}

bool RecordWriter::Open(const std::string &path, const std::string &host, std::string *error) {
    errno = 0;
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_)
        return *error = "cannot write record file " + path +
                        (errno ? std::string(": ") + std::strerror(errno) : ""),
               false;
    path_ = path;
    *error = WriteLine(RecordVersionLine(host));
    return error->empty();
}

std::string RecordWriter::Write(unsigned long session, const RecordItem &item) {
    return WriteLine(RecordLine(session, item));
}

std::string RecordWriter::WriteLine(const std::string &line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return "";
    const std::string text = line + "\n";
    if (std::fwrite(text.data(), 1, text.size(), file_) == text.size() && std::fflush(file_) == 0) return "";
    failed_ = true;
    return "writing record file " + path_ + " failed: " + std::strerror(errno) + "; the record stops here";
}

}  // namespace kelsrv
