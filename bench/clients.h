// clients.h - the same work done two ways against one server: through the
// library, and over a plain socket that sends and receives exactly the same
// bytes. Every call blocks at most kStepTimeoutMs in each socket step, so a
// broken server fails a run instead of hanging it.
#ifndef KELBENCH_CLIENTS_H
#define KELBENCH_CLIENTS_H

#include <cstdint>
#include <vector>

#include "codes.h"
#include "kelapi.h"
#include "netio.h"

typedef struct ssl_st SSL;

namespace kelbench {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kStepTimeoutMs = 10000;
constexpr std::uint32_t kEchoCode = keltools::kCmdEcho;
// A command the server does not know: it reads and drops the data and
// answers with a refusal, which makes it a sink for streamed bytes.
constexpr std::uint32_t kSinkCode = 0x80000200u;

class Client {
public:
    virtual ~Client() = default;
    // Connects and logs on the connection that Echo and Stream use.
    virtual bool Open() = 0;
    // One echo request with the data given to SetEcho, and its whole reply.
    virtual bool Echo() = 0;
    // A sink request whose data goes out in count writes of chunk bytes,
    // each pushed out at once (flush) or left to the client's buffering; then its reply.
    virtual bool Stream(std::uint32_t chunk, std::uint32_t count, bool flush) = 0;
    // Connect, log on and disconnect on a connection of its own.
    virtual bool Cycle() = 0;

    void SetEcho(const Bytes &data);
    // Echo, and the reply's data compared with the request's.
    bool CheckedEcho();

protected:
    Bytes echoData_;
    Bytes echoReply_;  // the raw client: the whole reply; the library: its data
    virtual const std::uint8_t *EchoReplyData() const = 0;
};

class LibraryClient : public Client {
public:
    // With tlsCA, every connection in verify-full against that CA file.
    explicit LibraryClient(std::uint16_t port, const char *tlsCA = nullptr);
    ~LibraryClient() override;
    bool Open() override;
    bool Echo() override;
    bool Stream(std::uint32_t chunk, std::uint32_t count, bool flush) override;
    bool Cycle() override;

    // The library's own calls, for counting what each one asks of the system.
    bool Connect(HKELCONNECTION connection);
    bool Disconnect(HKELCONNECTION connection);
    HKELCONNECTION NewConnection() const;

private:
    const std::uint8_t *EchoReplyData() const override { return echoReply_.data(); }

    std::uint16_t port_;
    const char *tlsCA_;
    HKELCONNECTION connection_ = nullptr;
    HKELCONNECTION cycleConnection_ = nullptr;
    Bytes streamData_;
};

class RawTls;

// A plain socket, or with tls a TLS session that OpenSSL runs directly,
// each request written in one call. With libraryCalls (plain only) its echo
// makes the system calls the library makes for the same bytes (a request
// above 1024 bytes in two sends, the first held back; the reply read as 5
// bytes, the words, the data), so that the gap between the two raw clients
// is the cost of that call pattern and the gap to the library its own.
class RawClient : public Client {
public:
    RawClient(std::uint16_t port, bool libraryCalls, const RawTls *tls = nullptr)
        : port_(port), libraryCalls_(libraryCalls), tls_(tls) {}
    ~RawClient() override;
    bool Open() override;
    bool Echo() override;
    bool Stream(std::uint32_t chunk, std::uint32_t count, bool flush) override;
    bool Cycle() override;

    // One connection: its socket, and its TLS session or null.
    struct Link {
        netio::Socket socket = netio::kInvalidSocket;
        SSL *ssl = nullptr;
    };

private:
    const std::uint8_t *EchoReplyData() const override { return echoReply_.data() + 9; }
    bool Logon(Link *link);
    void Close(Link *link);
    bool ReceiveAndCompare(const Link &link, const Bytes &expected);
    bool EchoAsTheLibrary();

    std::uint16_t port_;
    bool libraryCalls_;
    const RawTls *tls_;
    Link link_;
    Bytes echoRequest_;
    Bytes echoHeader_;  // the reply frame an echo must bring
    Bytes received_;
    Bytes streamData_;
};

}  // namespace kelbench

#endif
