// netio_native.h (POSIX) - the headers and types of BSD sockets on file
// descriptors, for the part of netio that is the same on every platform.
#ifndef KEL_NETIO_NATIVE_H
#define KEL_NETIO_NATIVE_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace netio::native {

using Handle = int;
using AddressLength = socklen_t;
constexpr Handle kInvalid = -1;
constexpr int kShutSend = SHUT_WR;
constexpr int kShutBoth = SHUT_RDWR;
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed peer fails the send instead of raising SIGPIPE

}  // namespace netio::native

#endif
