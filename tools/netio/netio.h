// netio - a small blocking TCP/IPv4 socket layer for kelsrv and the tests.
//
// Every call blocks without a time-out. Sockets are plain handles; the
// caller closes what it opened. Sends never raise SIGPIPE: a send to a
// closed peer fails instead.
#ifndef KEL_NETIO_H
#define KEL_NETIO_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace netio {

// A socket handle: an fd on POSIX, a SOCKET on Windows (both fit).
using Socket = std::intptr_t;
constexpr Socket kInvalidSocket = -1;

// Starts the sockets layer once per process (Windows Sockets on Windows);
// safe to call from any thread, any number of times. False if it failed.
bool Startup();

// Listens on host:port (dotted IPv4, "" or "0.0.0.0" for any). With port 0
// the system picks one; *boundPort (if given) receives the port in use.
// Returns kInvalidSocket on failure; LastError() says why.
Socket Listen(const std::string &host, std::uint16_t port, std::uint16_t *boundPort = nullptr,
              int backlog = 64);

// Waits for the next connection on a listening socket. kInvalidSocket on failure.
Socket Accept(Socket listener);

// Connects to host:port (dotted IPv4). kInvalidSocket on failure.
Socket Connect(const std::string &host, std::uint16_t port);

// Sends all len bytes, looping over short sends. False if the connection failed.
bool SendAll(Socket s, const void *data, std::size_t len);

// Receives exactly len bytes. False if the peer closed or the socket failed
// first; *received (if given) then says how many bytes did arrive.
bool ReceiveExact(Socket s, void *buffer, std::size_t len, std::size_t *received = nullptr);

// One receive of at most len bytes: the count (> 0), 0 when the peer closed
// its side, -1 on failure.
long ReceiveSome(Socket s, void *buffer, std::size_t len);

// Ends the sending direction (the peer sees end of stream) or both; a
// thread blocked in a receive on the socket returns. The handle stays open.
void ShutdownSend(Socket s);
void ShutdownBoth(Socket s);

// Makes a receive that another thread is blocked in on s return. POSIX
// shuts s down (closing alone would not wake the receiver) and returns
// false: the caller still closes s. Windows closes s (shutting down alone
// would not wake it) and returns true: s is gone, and the receiving thread
// must not use it any more.
bool WakeReceiver(Socket s);

// Makes receives on s fail after milliseconds without data instead of
// waiting for ever (0 = wait for ever again). For test clients that must
// fail, not hang, when a peer goes quiet.
bool SetReceiveTimeout(Socket s, unsigned milliseconds);

// Closes the handle; kInvalidSocket is ignored.
void Close(Socket s);

// A connected pair over 127.0.0.1: listen on an ephemeral port, connect, accept.
struct LoopbackPair {
    Socket client = kInvalidSocket;  // the connecting end
    Socket server = kInvalidSocket;  // the accepted end
};
bool MakeLoopbackPair(LoopbackPair *pair);
void ClosePair(LoopbackPair *pair);

// "host:port" of the peer of a connected socket, for log lines.
std::string PeerName(Socket s);

// The last socket error of this thread, as text with its number.
std::string LastError();

}  // namespace netio

#endif
