// netio_native.h (Windows) - the headers and types of Windows Sockets, for
// the part of netio that is the same on every platform.
#ifndef KEL_NETIO_NATIVE_H
#define KEL_NETIO_NATIVE_H

#include <winsock2.h>
#include <ws2tcpip.h>

namespace netio::native {

using Handle = SOCKET;
using AddressLength = int;
constexpr Handle kInvalid = INVALID_SOCKET;
constexpr int kShutSend = SD_SEND;
constexpr int kShutBoth = SD_BOTH;
constexpr int kSendFlags = 0;  // Windows raises no signal on a send to a closed peer

}  // namespace netio::native

#endif
