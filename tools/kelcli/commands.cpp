#include "commands.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kelapi.h"

namespace kelcli {
namespace {

// Data larger than this is not held in memory: a reply's is skipped, a
// request's refused.
const std::uint32_t kMaxData = 16u << 20;

using Bytes = std::vector<std::uint8_t>;

int Fail(std::FILE *err, const std::string &what, int result) {
    std::fprintf(err, "kelcli: %s: result %d (%s)\n", what.c_str(), result, ResultName(result));
    return result;
}

int UsageFail(std::FILE *err, const std::string &what) {
    std::fprintf(err, "kelcli: %s\n", what.c_str());
    return kExitUsage;
}

bool IsHostCode(int result) {
    return result == KEL_ERR_HOST_104 || (result >= KEL_ERR_HOST_106 && result <= KEL_ERR_HOST_108) ||
           (result >= KEL_ERR_HOST_200 && result <= KEL_ERR_HOST_205);
}

// An open, logged-on host system; freed (and so disconnected) with the object.
class Session {
public:
    ~Session() {
        if (system_) KelFreeHoxSystem(system_);
    }

    // Resolves the host, connects and logs on. On failure the message is
    // written and the exit code returned; 0 on success.
    int Open(const CliOptions &options, std::FILE *err) {
        std::uint32_t ip = KelHostNameToIP(options.host.c_str());
        if (ip == 0) return UsageFail(err, "cannot resolve host '" + options.host + "'");
        int result = KelAllocHoxSystem(ip, options.port, options.user.c_str(), options.password.c_str(),
                                       options.hasPassword2 ? options.password2.c_str() : nullptr, &system_);
        if (result == KEL_OK) result = KelGetConnection(system_, &connection_);
        if (result == KEL_OK) return 0;
        std::string where =
            options.host + ":" + std::to_string(options.port ? options.port : KEL_DEFAULT_PORT);
        if (IsHostCode(result)) return Fail(err, "logon refused", result);
        if (result == KEL_ERR_NOT_CONNECTED) return Fail(err, "cannot connect to " + where, result);
        return Fail(err, "connect to " + where + " failed", result);
    }

    HKELHOXSYSTEM System() const { return system_; }
    HKELCONNECTION Connection() const { return connection_; }

private:
    HKELHOXSYSTEM system_ = nullptr;
    HKELCONNECTION connection_ = nullptr;
};

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

const char *ResultName(int result) {
    switch (result) {
        case KEL_OK:
            return "KEL_OK";
        case KEL_ERR_PARAM:
            return "KEL_ERR_PARAM";
        case KEL_ERR_SYSTEM:
            return "KEL_ERR_SYSTEM";
        case KEL_ERR_HANDLE:
            return "KEL_ERR_HANDLE";
        case KEL_ERR_CONNECTED:
            return "KEL_ERR_CONNECTED";
        case KEL_ERR_ALREADY_CONNECTED:
            return "KEL_ERR_ALREADY_CONNECTED";
        case KEL_ERR_NOT_CONNECTED:
            return "KEL_ERR_NOT_CONNECTED";
        case KEL_ERR_COMM:
            return "KEL_ERR_COMM";
        case KEL_ERR_HOST_104:
            return "KEL_ERR_HOST_104";
        case KEL_ERR_PROTOCOL:
            return "KEL_ERR_PROTOCOL";
        case KEL_ERR_HOST_106:
            return "KEL_ERR_HOST_106";
        case KEL_ERR_HOST_107:
            return "KEL_ERR_HOST_107";
        case KEL_ERR_HOST_108:
            return "KEL_ERR_HOST_108";
        case KEL_ERR_LOCKED:
            return "KEL_ERR_LOCKED";
        case KEL_ERR_HOST_200:
            return "KEL_ERR_HOST_200";
        case KEL_ERR_HOST_201:
            return "KEL_ERR_HOST_201";
        case KEL_ERR_HOST_202:
            return "KEL_ERR_HOST_202";
        case KEL_ERR_HOST_203:
            return "KEL_ERR_HOST_203";
        case KEL_ERR_HOST_204:
            return "KEL_ERR_HOST_204";
        case KEL_ERR_HOST_205:
            return "KEL_ERR_HOST_205";
        default:
            return "unknown result";
    }
}

int RunInfo(const CliOptions &options, std::FILE *out, std::FILE *err) {
    Session session;
    int result = session.Open(options, err);
    if (result != 0) return result;
    KelSystemInfo info;
    result = KelGetSystemInfo(session.System(), &info);
    if (result != KEL_OK) return Fail(err, "cannot read the server's identity", result);
    std::fprintf(out, "identifier 0x%08X\n", static_cast<unsigned>(info.dwServerID));
    std::fprintf(out, "version    0x%08X\n", static_cast<unsigned>(info.dwServerVersion));
    std::fprintf(out, "description %s\n", info.szServerDescription);
    std::fprintf(out, "logon data 0x%02X\n", static_cast<unsigned>(info.bLogonData));
    return 0;
}

int RunSend(const CliOptions &options, std::FILE *out, std::FILE *err) {
    Bytes data(options.data.begin(), options.data.end());
    std::string error;
    if (!options.dataFile.empty() && !ReadFile(options.dataFile, &data, &error)) return UsageFail(err, error);
    if (data.size() > kMaxData) return UsageFail(err, "data larger than 16 MiB");
    const std::uint32_t replyCode =
        options.hasReply ? options.reply : ((options.code & 0x3FFFFFFFu) | 0x40000000u);

    Session session;
    int result = session.Open(options, err);
    if (result != 0) return result;
    HKELCONNECTION connection = session.Connection();

    KelCommand request;
    std::memset(&request, 0, sizeof request);
    request.dwCommand = options.code;
    request.dwParm1 = options.parm1;
    request.dwParm3 = options.parm3;
    request.dwDataLen = static_cast<std::uint32_t>(data.size());
    request.bFlags = options.flags;
    result = KelSendCommand(connection, &request, data.empty() ? 1 : 0);
    if (result == KEL_OK && !data.empty()) {
        std::uint32_t sent = 0;
        result = KelSend(connection, data.data(), static_cast<std::uint32_t>(data.size()), &sent, 1);
    }
    if (result != KEL_OK) return Fail(err, "sending the command failed", result);

    KelCommand reply;
    result = KelWaitForResponse(connection, replyCode, &reply);
    if (result != KEL_OK) return Fail(err, "no reply", result);
    PrintReply(reply, out);

    if (reply.dwDataLen > kMaxData) {
        // Read and dropped by the library, so that the disconnect finds the stream in step.
        result = KelDispatchCommand(connection, &reply);
        if (result != KEL_OK) return Fail(err, "skipping the reply data failed", result);
        std::fprintf(out, "  (data not shown: more than 16 MiB)\n");
    } else if (reply.dwDataLen > 0) {
        Bytes replyData(reply.dwDataLen);
        std::uint32_t got = 0;
        result = KelReceive(connection, replyData.data(), reply.dwDataLen, &got, 1);
        if (result != KEL_OK) return Fail(err, "receiving the reply data failed", result);
        if (!options.hexDump && IsText(replyData))
            std::fprintf(out, "%.*s\n", static_cast<int>(replyData.size()),
                         reinterpret_cast<const char *>(replyData.data()));
        else
            HexDump(replyData, out);
    }

    result = KelCmdErrToKelErr(reply.dwRetCode);
    if (result != KEL_OK) {
        char what[64];
        std::snprintf(what, sizeof what, "command refused with host code 0x%08X",
                      static_cast<unsigned>(reply.dwRetCode));
        return Fail(err, what, result);
    }
    return 0;
}

}  // namespace kelcli
