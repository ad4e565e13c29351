#include "commands.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kelapi.h"
#include "session.h"
#include "text.h"

namespace kelcli {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One "kelcli: ..." line for a failed step, with the library's reason;
// returns the exit code, the result code.
int Fail(std::FILE *err, const std::string &step, const Outcome &outcome) {
    std::fprintf(err, "kelcli: %s\n", FailureText(step, outcome).c_str());
    return outcome.code;
}

int UsageFail(std::FILE *err, const std::string &what) {
    std::fprintf(err, "kelcli: %s\n", what.c_str());
    return kExitUsage;
}

// Connects and logs on; 0, or the exit code once the failure is reported.
int OpenSession(const CliOptions &options, Session *session, std::FILE *err) {
    Outcome outcome = session->Open(options);
    if (outcome.code == KEL_OK) return 0;
    return Fail(err, OpenStep(options, outcome.code), outcome);
}

bool ReadFile(const std::string &path, Bytes *data, std::string *error) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) return *error = "cannot open data file '" + path + "'", false;
    std::uint8_t chunk[65536];
    size_t got = 0;
    bool ok = true;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        if (data->size() + got > kMaxData) {
            *error = "data file '" + path + "' is larger than 16 MiB";
            ok = false;
            break;
        }
        data->insert(data->end(), chunk, chunk + got);
    }
    if (ok && std::ferror(file)) {
        *error = "cannot read data file '" + path + "'";
        ok = false;
    }
    std::fclose(file);
    return ok;
}

bool IsText(const Bytes &data) {
    for (std::uint8_t byte : data)
        if (!(std::isprint(byte) || byte == '\n' || byte == '\r' || byte == '\t')) return false;
    return true;
}

// Sixteen bytes a line: offset, hexadecimal bytes, printable characters.
void HexDump(const Bytes &data, std::FILE *out) {
    for (size_t line = 0; line < data.size(); line += 16) {
        std::fprintf(out, "  %08zx ", line);
        for (size_t i = line; i < line + 16; ++i) {
            if (i < data.size())
                std::fprintf(out, " %02x", data[i]);
            else
                std::fputs("   ", out);
        }
        std::fputs("  |", out);
        for (size_t i = line; i < line + 16 && i < data.size(); ++i)
            std::fputc(std::isprint(data[i]) ? data[i] : '.', out);
        std::fputs("|\n", out);
    }
}

void PrintReply(const KelCommand &reply, std::FILE *out) {
    std::fprintf(out, "reply      0x%08X\n", static_cast<unsigned>(reply.dwCommand));
    std::fprintf(out, "flags      0x%02X\n", static_cast<unsigned>(reply.bFlags));
    std::fprintf(out, "parm1      0x%08X\n", static_cast<unsigned>(reply.dwParm1));
    std::fprintf(out, "retcode    0x%08X\n", static_cast<unsigned>(reply.dwRetCode));
    std::fprintf(out, "parm3      0x%08X\n", static_cast<unsigned>(reply.dwParm3));
    std::fprintf(out, "data       %u bytes\n", static_cast<unsigned>(reply.dwDataLen));
}

}  // namespace

int RunInfo(const CliOptions &options, std::FILE *out, std::FILE *err) {
    Session session(options.timeoutSeconds);
    int result = OpenSession(options, &session, err);
    if (result != 0) return result;
    KelSystemInfo info;
    Outcome outcome = session.Run([&] { return KelGetSystemInfo(session.System(), &info); });
    if (outcome.code != KEL_OK) return Fail(err, "read the server's identity", outcome);
    std::fprintf(out, "identifier 0x%08X\n", static_cast<unsigned>(info.dwServerID));
    std::fprintf(out, "version    0x%08X\n", static_cast<unsigned>(info.dwServerVersion));
    std::fprintf(out, "description %s\n", info.szServerDescription);
    std::fprintf(out, "logon data 0x%02X\n", static_cast<unsigned>(info.bLogonData));
    return 0;
}

namespace {

Outcome SendRequest(Session &session, const CliOptions &options, const Bytes &data) {
    KelCommand request;
    std::memset(&request, 0, sizeof request);
    request.dwCommand = options.code;
    request.dwParm1 = options.parm1;
    request.dwParm3 = options.parm3;
    request.dwDataLen = static_cast<std::uint32_t>(data.size());
    request.bFlags = options.flags;
    HKELCONNECTION connection = session.Connection();
    return session.Run([&] {
        int result = KelSendCommand(connection, &request, data.empty() ? 1 : 0);
        std::uint32_t sent = 0;
        if (result == KEL_OK && !data.empty())
            result = KelSend(connection, data.data(), static_cast<std::uint32_t>(data.size()), &sent, 1);
        return result;
    });
}

// Prints the reply's data, or skips it when it is too large to hold.
int ShowReplyData(Session &session, const CliOptions &options, const KelCommand &reply, std::FILE *out,
                  std::FILE *err) {
    HKELCONNECTION connection = session.Connection();
    if (reply.dwDataLen > kMaxData) {
        // Read and dropped by the library, so that the disconnect finds the stream in step.
        Outcome outcome = session.Run([&] { return KelDispatchCommand(connection, &reply); });
        if (outcome.code != KEL_OK) return Fail(err, "skip the reply data", outcome);
        std::fprintf(out, "  (data not shown: more than 16 MiB)\n");
        return 0;
    }
    if (reply.dwDataLen == 0) return 0;
    Bytes data(reply.dwDataLen);
    std::uint32_t got = 0;
    Outcome outcome =
        session.Run([&] { return KelReceive(connection, data.data(), reply.dwDataLen, &got, 1); });
    if (outcome.code != KEL_OK) return Fail(err, "receive the reply data", outcome);
    if (!options.hexDump && IsText(data))
        std::fprintf(out, "%.*s\n", static_cast<int>(data.size()),
                     reinterpret_cast<const char *>(data.data()));
    else
        HexDump(data, out);
    return 0;
}

}  // namespace

int RunSend(const CliOptions &options, std::FILE *out, std::FILE *err) {
    Bytes data(options.data.begin(), options.data.end());
    std::string error;
    if (!options.dataFile.empty() && !ReadFile(options.dataFile, &data, &error)) return UsageFail(err, error);
    if (data.size() > kMaxData) return UsageFail(err, "data larger than 16 MiB");
    const std::uint32_t replyCode = options.hasReply ? options.reply : ReplyCodeFor(options.code);

    Session session(options.timeoutSeconds);
    int result = OpenSession(options, &session, err);
    if (result != 0) return result;
    Outcome outcome = SendRequest(session, options, data);
    if (outcome.code != KEL_OK) return Fail(err, "send the command", outcome);

    KelCommand reply;
    outcome = session.Run([&] { return KelWaitForResponse(session.Connection(), replyCode, &reply); });
    if (outcome.code != KEL_OK) return Fail(err, "wait for the reply " + keltools::Hex32(replyCode), outcome);
    PrintReply(reply, out);
    result = ShowReplyData(session, options, reply, out, err);
    if (result != 0) return result;

    outcome = Outcome{KelCmdErrToKelErr(reply.dwRetCode), false, ""};  // the host's answer, no failed call
    if (outcome.code != KEL_OK)
        return Fail(err, "command refused with host code " + keltools::Hex32(reply.dwRetCode), outcome);
    return 0;
}

}  // namespace kelcli
