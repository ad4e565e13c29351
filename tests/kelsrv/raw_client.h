// A client of kelsrv without the client library, for the tests that speak
// to kelsrv over loopback sockets: every byte is built here, independently
// of the server's coder.
#ifndef KELSRV_TEST_RAW_CLIENT_H
#define KELSRV_TEST_RAW_CLIENT_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kelapi.h"
#include "netio.h"
#include "wire.h"

namespace kelsrv_test {

using kelsrv::Bytes;

inline Bytes Concat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A frame: code, flag byte (extraFlags plus a bit per non-zero word), the non-zero words.
inline Bytes FrameBytes(std::uint32_t code, std::uint32_t retCode = 0, std::uint32_t dataLen = 0,
                        std::uint32_t parm1 = 0, std::uint32_t parm3 = 0, std::uint8_t extraFlags = 0) {
    Bytes out;
    auto append = [&out](std::uint32_t word) {
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(word >> shift));
    };
    append(code);
    out.push_back(static_cast<std::uint8_t>(extraFlags | (parm1 ? 1 : 0) | (retCode ? 2 : 0) |
                                            (parm3 ? 4 : 0) | (dataLen ? 8 : 0)));
    for (std::uint32_t word : {parm1, retCode, parm3, dataLen})
        if (word) append(word);
    return out;
}

inline Bytes Request(std::uint32_t code, const Bytes &data = {}) {
    return Concat(FrameBytes(code, 0, static_cast<std::uint32_t>(data.size())), data);
}

inline Bytes IdentifyRequest() {
    const std::string block = std::string("\x43\x01\x01\x00\x00\x01\x00\x01", 8) + "Hox/Pym Connector API";
    return Request(KEL_CMD_IDENTIFY, Concat(Bytes(block.begin(), block.end()), Bytes(88 - block.size(), 0)));
}

class RawClient {
public:
    // The receive time-out turns a server that never answers into a failure, not a hang.
    explicit RawClient(std::uint16_t port) : socket_(netio::Connect("127.0.0.1", port)), rng_(port) {
        if (Connected()) netio::SetReceiveTimeout(socket_, 10000);
    }
    ~RawClient() { netio::Close(socket_); }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool Connected() const { return socket_ != netio::kInvalidSocket; }
    bool Send(const Bytes &bytes) { return netio::SendAll(socket_, bytes.data(), bytes.size()); }
    Bytes Read(std::size_t n) {  // n bytes, or those that came before the end
        Bytes got(n, 0);
        std::size_t arrived = 0;
        netio::ReceiveExact(socket_, got.data(), n, &arrived);
        got.resize(arrived);
        return got;
    }
    // Sends request, then reads as many bytes as the expected reply has.
    Bytes Ask(const Bytes &request, const Bytes &expected) {
        return Send(request) ? Read(expected.size()) : Bytes{};
    }
    bool AtEnd() {  // closed in order; false if data came or the read timed out
        std::uint8_t byte;
        return netio::ReceiveSome(socket_, &byte, 1) == 0;
    }
    bool Cut() {  // closed or reset (a peer that closes with bytes unread resets)
        std::uint8_t byte;
        const long n = netio::ReceiveSome(socket_, &byte, 1);
        return n == 0 || (n < 0 && !netio::TimedOut());
    }
    // A logon request; each password travels as a client scrambles it, with random
    // bytes r: out[2i] = in[i-1] ^ r, out[2i+1] = r ^ in[i]; no password2: zeros.
    Bytes LogonRequest(const std::string &user, const std::string &password,
                       const std::string &password2 = "") {
        Bytes block(41, 0);
        user.copy(reinterpret_cast<char *>(block.data()), 9);
        for (std::size_t at = 9, previous = 0; at < 41 && (at < 25 || !password2.empty()); at += 2) {
            const std::string &text = at < 25 ? password : password2;
            const std::size_t i = (at - 9) % 16 / 2;
            const std::size_t in = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0,
                              r = rng_() & 0xFF;
            block[at] = static_cast<std::uint8_t>((i == 0 ? 0 : previous) ^ r);
            block[at + 1] = static_cast<std::uint8_t>(r ^ in);
            previous = in;
        }
        return Request(KEL_CMD_LOGON, block);
    }

private:
    netio::Socket socket_;
    std::mt19937 rng_;
};

}  // namespace kelsrv_test

#endif
