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

// A socket address and its length.
struct Address {
    sockaddr_storage storage;
    native::AddressLength length = 0;
    const sockaddr *Get() const { return reinterpret_cast<const sockaddr *>(&storage); }
    int Family() const { return storage.ss_family; }
};

// host:port as a socket address: dotted IPv4, IPv6 (brackets allowed), or
// "" for every IPv4 address.
bool MakeAddress(std::string host, std::uint16_t port, Address *addr) {
    std::memset(&addr->storage, 0, sizeof addr->storage);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    auto *v4 = reinterpret_cast<sockaddr_in *>(&addr->storage);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&addr->storage);
    if (host.empty() || inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        addr->length = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) != 1) return false;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    addr->length = sizeof *v6;
    return true;
}

// A fresh TCP socket and the address of host:port; kInvalidSocket on failure,
// with the error set to an invalid argument for a host that is no address.
Socket OpenTcp(const std::string &host, std::uint16_t port, Address *addr) {
    if (!Startup()) return kInvalidSocket;
    if (!MakeAddress(host, port, addr)) {
        platform::SetErrorCode(platform::InvalidArgumentCode());
        return kInvalidSocket;
    }
    return Wrap(::socket(addr->Family(), SOCK_STREAM, IPPROTO_TCP));
}

// The port of a bound or connected socket address.
std::uint16_t PortOf(const sockaddr_storage &storage) {
    if (storage.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(storage).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in &>(storage).sin_port);
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

bool IsIPAddress(const std::string &text) {
    Address addr;
    return !text.empty() && MakeAddress(text, 0, &addr);
}

Socket Listen(const std::string &host, std::uint16_t port, std::uint16_t *boundPort, int backlog) {
    Address addr;
    Socket s = OpenTcp(host, port, &addr);
    if (s == kInvalidSocket) return kInvalidSocket;
    platform::AllowQuickRestart(Native(s));
    // "::" is every IPv6 address, and only those, on every system.
    int one = 1;
    if (addr.Family() == AF_INET6)
        setsockopt(Native(s), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char *>(&one), sizeof one);
    sockaddr_storage bound;
    native::AddressLength boundLen = sizeof bound;
    if (::bind(Native(s), addr.Get(), addr.length) != 0 ||
        ::listen(Native(s), backlog == kMaxBacklog ? MaxBacklog() : backlog) != 0 ||
        ::getsockname(Native(s), reinterpret_cast<sockaddr *>(&bound), &boundLen) != 0)
        return CloseKeepingError(s);
    if (boundPort) *boundPort = PortOf(bound);
    return s;
}

Socket Accept(Socket listener) {
    Socket s = Wrap(::accept(Native(listener), nullptr, nullptr));
    if (s != kInvalidSocket) DisableNagle(s);
    return s;
}

Socket Connect(const std::string &host, std::uint16_t port) {
    Address addr;
    Socket s = OpenTcp(host, port, &addr);
    if (s == kInvalidSocket) return kInvalidSocket;
    if (::connect(Native(s), addr.Get(), addr.length) != 0) return CloseKeepingError(s);
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
    sockaddr_storage addr;
    native::AddressLength len = sizeof addr;
    if (::getpeername(Native(s), reinterpret_cast<sockaddr *>(&addr), &len) != 0) return "?";
    char text[INET6_ADDRSTRLEN] = "?";
    const std::string port = ":" + std::to_string(PortOf(addr));
    if (addr.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 &>(addr).sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]" + port;
    }
    if (addr.ss_family != AF_INET) return "?";
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in &>(addr).sin_addr, text, sizeof text);
    return text + port;
}

std::string LastError() { return platform::ErrorText(platform::ErrorCode()); }

}  // namespace netio
