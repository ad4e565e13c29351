// netio_posix.cpp - what netio does its own way on POSIX systems.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>

#include "netio.h"
#include "netio_platform.h"

namespace netio {

namespace platform {

int ErrorCode() { return errno; }
void SetErrorCode(int code) { errno = code; }
int InvalidArgumentCode() { return EINVAL; }
bool IsTimeoutCode(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

std::string ErrorText(int code) {
    return std::string(std::strerror(code)) + " (" + std::to_string(code) + ")";
}

void CloseNative(native::Handle s) { ::close(s); }

void AllowQuickRestart(native::Handle s) {
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

bool SetTimeout(native::Handle s, int option, unsigned milliseconds) {
    timeval timeout;
    timeout.tv_sec = static_cast<time_t>(milliseconds / 1000);
    timeout.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
    return setsockopt(s, SOL_SOCKET, option, &timeout, sizeof timeout) == 0;
}

bool ConnectWithin(native::Handle s, const sockaddr *addr, native::AddressLength len, unsigned milliseconds) {
    if (milliseconds == 0) return ::connect(s, addr, len) == 0;
    const int flags = fcntl(s, F_GETFL, 0);
    fcntl(s, F_SETFL, flags | O_NONBLOCK);
    bool connected = ::connect(s, addr, len) == 0;
    if (!connected && errno == EINPROGRESS) {
        pollfd ready{s, POLLOUT, 0};
        int n;
        while ((n = poll(&ready, 1, static_cast<int>(milliseconds))) < 0 && errno == EINTR) {
        }
        int error = ETIMEDOUT;
        socklen_t errorLen = sizeof error;
        if (n > 0 && getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &errorLen) != 0) error = errno;
        if (n >= 0) errno = error;
        connected = n > 0 && error == 0;
    }
    const int saved = errno;
    fcntl(s, F_SETFL, flags);
    errno = saved;
    return connected;
}

std::string ResolveErrorText(int code) {
    return std::string(gai_strerror(code)) + (code == EAI_SYSTEM ? ": " + ErrorText(errno) : "");
}

}  // namespace platform

bool Startup() { return true; }

// Linux cuts a larger backlog down to net.core.somaxconn without a word;
// reading it tells what a listener really gets.
int MaxBacklog() {
    long value = 0;
    std::ifstream in("/proc/sys/net/core/somaxconn");
    if (in >> value && value > 0 && value <= INT_MAX) return static_cast<int>(value);
    return SOMAXCONN;
}

// Shutting down wakes the receiver; closing alone would not.
bool WakeReceiver(Socket s) {
    ShutdownBoth(s);
    return false;
}

unsigned long RaiseSocketLimit(unsigned long count) {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < count) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > count ? count : limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > ULONG_MAX
               ? ULONG_MAX
               : static_cast<unsigned long>(limit.rlim_cur);
}

}  // namespace netio
