// netio - a small blocking TCP socket layer (IPv4 and IPv6) for kelsrv and the tests.
//
// Every call blocks, without a time-out unless one was set on the socket.
// Sockets are plain handles; the caller closes what it opened. Sends never
// raise SIGPIPE: a send to a closed peer fails instead. The POSIX and the
// Windows calls live in netio_posix.cpp and netio_win32.cpp.
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

// A backlog for Listen: the largest the system allows (see MaxBacklog).
constexpr int kMaxBacklog = -1;

// The largest listen backlog the system grants: net.core.somaxconn on
// Linux, SOMAXCONN elsewhere.
int MaxBacklog();

// Whether text is an address Listen and Connect take: dotted IPv4 such as
// "127.0.0.1", or IPv6 such as "::1", with or without brackets.
bool IsIPAddress(const std::string &text);

// Listens on host:port (an address as above; "" or "0.0.0.0" for every IPv4
// address, "::" for every IPv6 address) with room for
// backlog connections that wait to be accepted. With port 0 the system
// picks one; *boundPort (if given) receives the port in use. Returns
// kInvalidSocket on failure; LastError() says why.
Socket Listen(const std::string &host, std::uint16_t port, std::uint16_t *boundPort = nullptr,
              int backlog = kMaxBacklog);

// Waits for the next connection on a listening socket. kInvalidSocket on failure.
Socket Accept(Socket listener);

// Connects to host:port (an address as above). kInvalidSocket on failure.
Socket Connect(const std::string &host, std::uint16_t port);

// Connects to host:port, host a name or an IPv4 or IPv6 address, trying
// each address the name stands for in turn, each for at most timeoutMs
// milliseconds (0: as long as the system tries). kInvalidSocket on failure,
// with *error saying why: the name that did not resolve, or how the last
// address failed.
Socket ConnectByName(const std::string &host, std::uint16_t port, unsigned timeoutMs, std::string *error);

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
// waiting for ever (0 = wait for ever again), so that a peer that goes
// quiet ends the wait; TimedOut() then tells this failure from others.
bool SetReceiveTimeout(Socket s, unsigned milliseconds);

// The same for sends: a send fails once the peer has taken no byte for
// milliseconds. What was sent of it is unknown; close the socket.
bool SetSendTimeout(Socket s, unsigned milliseconds);

// Whether the last failed call of this thread failed because its time-out passed.
bool TimedOut();

// Raises the number of sockets this process may hold open to at least
// count, as far as the system lets it, and returns the limit now in force
// (ULONG_MAX where the system sets none, as on Windows).
unsigned long RaiseSocketLimit(unsigned long count);

// Closes the handle; kInvalidSocket is ignored.
void Close(Socket s);

// A connected pair over 127.0.0.1: listen on an ephemeral port, connect, accept.
struct LoopbackPair {
    Socket client = kInvalidSocket;  // the connecting end
    Socket server = kInvalidSocket;  // the accepted end
};
bool MakeLoopbackPair(LoopbackPair *pair);
void ClosePair(LoopbackPair *pair);

// "host:port" ("[host]:port" for IPv6) of the peer of a connected TCP
// socket, for log lines; "?" for any other socket.
std::string PeerName(Socket s);

// The last socket error of this thread, as text with its number.
std::string LastError();

}  // namespace netio

#endif
