// netio_platform.h - what each platform file (netio_posix.cpp,
// netio_win32.cpp) gives the part of netio that is the same everywhere.
#ifndef KEL_NETIO_PLATFORM_H
#define KEL_NETIO_PLATFORM_H

#include <string>

#include "netio_native.h"

namespace netio::platform {

// The socket error of this thread (errno, WSAGetLastError), and setting it.
int ErrorCode();
void SetErrorCode(int code);
// The code for an argument the call cannot use (EINVAL, WSAEINVAL).
int InvalidArgumentCode();
// Whether code says that a receive or send time-out passed.
bool IsTimeoutCode(int code);
// The system's text for code, followed by the number.
std::string ErrorText(int code);

void CloseNative(native::Handle s);

// Lets a restarted server listen at once though connections of the last
// one linger in TIME_WAIT, where that does not also let two servers share
// the port.
void AllowQuickRestart(native::Handle s);

// Sets the receive (SO_RCVTIMEO) or send (SO_SNDTIMEO) time-out.
bool SetTimeout(native::Handle s, int option, unsigned milliseconds);

// Connects s to addr, giving up after milliseconds (0: the system's own
// limit) with the time-out's error code set; s blocks again afterwards.
bool ConnectWithin(native::Handle s, const sockaddr *addr, native::AddressLength len, unsigned milliseconds);

// The text of a name lookup's failure code.
std::string ResolveErrorText(int code);

}  // namespace netio::platform

#endif
