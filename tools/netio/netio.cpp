// netio.cpp - the socket calls that read the same on every platform; the
// platform's own headers and types come from its netio_native.h.
#include "netio.h"

#include <cstring>

#include "netio_platform.h"

namespace netio {
namespace {

using native::Handle;

Handle Native(Socket s) { return static_cast<Handle>(s); }

Socket Wrap(Handle s) { return s == native::kInvalid ? kInvalidSocket : static_cast<Socket>(s); }

bool MakeAddress(const std::string &host, std::uint16_t port, sockaddr_in *addr) {
    std::memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    addr->sin_port = htons(port);
    if (host.empty()) {
        addr->sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return inet_pton(AF_INET, host.c_str(), &addr->sin_addr) == 1;
}

// A fresh TCP socket and the address of host:port; kInvalidSocket on failure,
// with the error set to an invalid argument for a host that is no address.
Socket OpenTcp(const std::string &host, std::uint16_t port, sockaddr_in *addr) {
    if (!Startup()) return kInvalidSocket;
    if (!MakeAddress(host, port, addr)) {
        platform::SetErrorCode(platform::InvalidArgumentCode());
        return kInvalidSocket;
    }
    return Wrap(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

// Closes s without letting the close overwrite the error that made us give it up.
Socket CloseKeepingError(Socket s) {
    int saved = platform::ErrorCode();
    platform::CloseNative(Native(s));
    platform::SetErrorCode(saved);
    return kInvalidSocket;
}

// Small request/reply exchanges are what runs over these sockets; without
// this each reply would wait on the peer's delayed acknowledgement.
void DisableNagle(Socket s) {
    int one = 1;
    setsockopt(Native(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
}

}  // namespace

bool IsIPv4Address(const std::string &text) {
    in_addr addr;
    return inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

Socket Listen(const std::string &host, std::uint16_t port, std::uint16_t *boundPort, int backlog) {
    sockaddr_in addr;
    Socket s = OpenTcp(host, port, &addr);
    if (s == kInvalidSocket) return kInvalidSocket;
    platform::AllowQuickRestart(Native(s));
    sockaddr_in bound;
    native::AddressLength boundLen = sizeof bound;
    if (::bind(Native(s), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(Native(s), backlog == kMaxBacklog ? MaxBacklog() : backlog) != 0 ||
        ::getsockname(Native(s), reinterpret_cast<sockaddr *>(&bound), &boundLen) != 0)
        return CloseKeepingError(s);
    if (boundPort) *boundPort = ntohs(bound.sin_port);
    return s;
}

Socket Accept(Socket listener) {
    Socket s = Wrap(::accept(Native(listener), nullptr, nullptr));
    if (s != kInvalidSocket) DisableNagle(s);
    return s;
}

Socket Connect(const std::string &host, std::uint16_t port) {
    sockaddr_in addr;
    Socket s = OpenTcp(host, port, &addr);
    if (s == kInvalidSocket) return kInvalidSocket;
    if (::connect(Native(s), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return CloseKeepingError(s);
    DisableNagle(s);
    return s;
}

Socket ConnectByName(const std::string &host, std::uint16_t port, unsigned timeoutMs, std::string *error) {
    if (!Startup()) return *error = "cannot start the sockets layer: " + LastError(), kInvalidSocket;
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0)
        return *error = "cannot resolve '" + host + "': " + platform::ResolveErrorText(rc), kInvalidSocket;
    Socket s = kInvalidSocket;
    for (const addrinfo *address = found; address && s == kInvalidSocket; address = address->ai_next) {
        s = Wrap(::socket(address->ai_family, address->ai_socktype, address->ai_protocol));
        if (s != kInvalidSocket &&
            !platform::ConnectWithin(Native(s), address->ai_addr,
                                     static_cast<native::AddressLength>(address->ai_addrlen), timeoutMs))
            s = CloseKeepingError(s);
        if (s == kInvalidSocket) *error = LastError();
    }
    freeaddrinfo(found);
    if (s != kInvalidSocket) DisableNagle(s);
    return s;
}

bool SendAll(Socket s, const void *data, std::size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        int chunk = len > 65536 ? 65536 : static_cast<int>(len);
        auto n = ::send(Native(s), p, chunk, native::kSendFlags);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

long ReceiveSome(Socket s, void *buffer, std::size_t len) {
    int chunk = len > 65536 ? 65536 : static_cast<int>(len);
    auto n = ::recv(Native(s), static_cast<char *>(buffer), chunk, 0);
    return n < 0 ? -1 : static_cast<long>(n);
}

bool ReceiveExact(Socket s, void *buffer, std::size_t len, std::size_t *received) {
    char *p = static_cast<char *>(buffer);
    std::size_t got = 0;
    while (got < len) {
        long n = ReceiveSome(s, p + got, len - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (received) *received = got;
    return got == len;
}

void ShutdownSend(Socket s) { ::shutdown(Native(s), native::kShutSend); }
void ShutdownBoth(Socket s) { ::shutdown(Native(s), native::kShutBoth); }

bool SetReceiveTimeout(Socket s, unsigned milliseconds) {
    return platform::SetTimeout(Native(s), SO_RCVTIMEO, milliseconds);
}

bool SetSendTimeout(Socket s, unsigned milliseconds) {
    return platform::SetTimeout(Native(s), SO_SNDTIMEO, milliseconds);
}

bool TimedOut() { return platform::IsTimeoutCode(platform::ErrorCode()); }

void Close(Socket s) {
    if (s != kInvalidSocket) platform::CloseNative(Native(s));
}

bool MakeLoopbackPair(LoopbackPair *pair) {
    std::uint16_t port = 0;
    Socket listener = Listen("127.0.0.1", 0, &port, 1);
    if (listener == kInvalidSocket) return false;
    // The connection completes in the listen backlog, so connecting before
    // accepting on the same thread cannot block.
    pair->client = Connect("127.0.0.1", port);
    pair->server = pair->client == kInvalidSocket ? kInvalidSocket : Accept(listener);
    Close(listener);
    if (pair->server == kInvalidSocket) {
        ClosePair(pair);
        return false;
    }
    return true;
}

void ClosePair(LoopbackPair *pair) {
    Close(pair->client);
    Close(pair->server);
    pair->client = pair->server = kInvalidSocket;
}

std::string PeerName(Socket s) {
    sockaddr_in addr;
    native::AddressLength len = sizeof addr;
    if (::getpeername(Native(s), reinterpret_cast<sockaddr *>(&addr), &len) != 0 || len != sizeof addr ||
        addr.sin_family != AF_INET)
        return "?";
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

std::string LastError() { return platform::ErrorText(platform::ErrorCode()); }

}  // namespace netio
