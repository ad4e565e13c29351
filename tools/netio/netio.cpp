#include "netio.h"

#include <cstring>
#include <mutex>

#if defined(_WIN32)
#  include <winsock2.h>
#  include <ws2tcpip.h>
#else
#  include <arpa/inet.h>
#  include <netinet/in.h>
#  include <netinet/tcp.h>
#  include <sys/socket.h>
#  include <unistd.h>

#  include <cerrno>
#endif

namespace netio {
namespace {

#if defined(_WIN32)
using NativeSocket = SOCKET;
constexpr int kShutSend = SD_SEND;
constexpr int kShutBoth = SD_BOTH;
constexpr int kSendFlags = 0;
int NativeError() { return WSAGetLastError(); }
void CloseNative(NativeSocket s) { closesocket(s); }
#else
using NativeSocket = int;
constexpr int kShutSend = SHUT_WR;
constexpr int kShutBoth = SHUT_RDWR;
constexpr int kSendFlags = MSG_NOSIGNAL;
int NativeError() { return errno; }
void CloseNative(NativeSocket s) { ::close(s); }
#endif

NativeSocket Native(Socket s) { return static_cast<NativeSocket>(s); }

Socket Wrap(NativeSocket s) {
#if defined(_WIN32)
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s);
#else
    return s < 0 ? kInvalidSocket : static_cast<Socket>(s);
#endif
}

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

// Small request/reply exchanges are what runs over these sockets; without
// this each reply would wait on the peer's delayed acknowledgement.
void DisableNagle(NativeSocket s) {
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
}

}  // namespace

bool Startup() {
#if defined(_WIN32)
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
#else
    return true;
#endif
}

// A fresh TCP socket and the address of host:port; kInvalidSocket on failure.
static Socket OpenTcp(const std::string &host, std::uint16_t port, sockaddr_in *addr) {
    if (!Startup() || !MakeAddress(host, port, addr)) return kInvalidSocket;
    return Wrap(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

Socket Listen(const std::string &host, std::uint16_t port, std::uint16_t *boundPort, int backlog) {
    sockaddr_in addr;
    Socket s = OpenTcp(host, port, &addr);
    if (s == kInvalidSocket) return kInvalidSocket;
#if !defined(_WIN32)
    // A restarted server must not wait for old connections in TIME_WAIT.
    // (On Windows the same option would let two servers share a port.)
    int one = 1;
    setsockopt(Native(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
    sockaddr_in bound;
    socklen_t boundLen = sizeof bound;
    if (::bind(Native(s), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(Native(s), backlog) != 0 ||
        ::getsockname(Native(s), reinterpret_cast<sockaddr *>(&bound), &boundLen) != 0) {
        int saved = NativeError();
        CloseNative(Native(s));
#if defined(_WIN32)
        WSASetLastError(saved);
#else
        errno = saved;
#endif
        return kInvalidSocket;
    }
    if (boundPort) *boundPort = ntohs(bound.sin_port);
    return s;
}

Socket Accept(Socket listener) {
    Socket s = Wrap(::accept(Native(listener), nullptr, nullptr));
    if (s != kInvalidSocket) DisableNagle(Native(s));
    return s;
}

Socket Connect(const std::string &host, std::uint16_t port) {
    sockaddr_in addr;
    Socket s = OpenTcp(host, port, &addr);
    if (s == kInvalidSocket) return kInvalidSocket;
    if (::connect(Native(s), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        CloseNative(Native(s));
        return kInvalidSocket;
    }
    DisableNagle(Native(s));
    return s;
}

bool SendAll(Socket s, const void *data, std::size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        int chunk = len > 65536 ? 65536 : static_cast<int>(len);
        auto n = ::send(Native(s), p, chunk, kSendFlags);
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

void ShutdownSend(Socket s) { ::shutdown(Native(s), kShutSend); }
void ShutdownBoth(Socket s) { ::shutdown(Native(s), kShutBoth); }

bool WakeReceiver(Socket s) {
#if defined(_WIN32)
    CloseNative(Native(s));
    return true;
#else
    ShutdownBoth(s);
    return false;
#endif
}

bool SetReceiveTimeout(Socket s, unsigned milliseconds) {
#if defined(_WIN32)
    DWORD timeout = milliseconds;
#else
    timeval timeout;
    timeout.tv_sec = static_cast<time_t>(milliseconds / 1000);
    timeout.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
#endif
    return setsockopt(Native(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout),
                      sizeof timeout) == 0;
}

void Close(Socket s) {
    if (s != kInvalidSocket) CloseNative(Native(s));
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
    socklen_t len = sizeof addr;
    if (::getpeername(Native(s), reinterpret_cast<sockaddr *>(&addr), &len) != 0) return "?";
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

std::string LastError() {
    int code = NativeError();
#if defined(_WIN32)
    return "socket error " + std::to_string(code);
#else
    return std::string(std::strerror(code)) + " (" + std::to_string(code) + ")";
#endif
}

}  // namespace netio
