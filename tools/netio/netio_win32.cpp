// netio_win32.cpp - what netio does its own way with Windows Sockets.
#include <winsock2.h>

#include <windows.h>

#include <climits>
#include <mutex>

#include "netio.h"
#include "netio_platform.h"

namespace netio {

namespace platform {

int ErrorCode() { return WSAGetLastError(); }
void SetErrorCode(int code) { WSASetLastError(code); }
int InvalidArgumentCode() { return WSAEINVAL; }
bool IsTimeoutCode(int code) { return code == WSAETIMEDOUT; }

std::string ErrorText(int code) {
    char text[256] = "";
    DWORD len = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r' || text[len - 1] == '.'))
        text[--len] = '\0';
    return (len > 0 ? std::string(text) : std::string("socket error")) + " (" + std::to_string(code) + ")";
}

void CloseNative(native::Handle s) { closesocket(s); }

// SO_REUSEADDR would let a second server take over the port here.
void AllowQuickRestart(native::Handle) {}

bool SetTimeout(native::Handle s, int option, unsigned milliseconds) {
    DWORD timeout = milliseconds;
    return setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char *>(&timeout), sizeof timeout) == 0;
}

bool ConnectWithin(native::Handle s, const sockaddr *addr, native::AddressLength len, unsigned milliseconds) {
    if (milliseconds == 0) return ::connect(s, addr, len) == 0;
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    bool connected = ::connect(s, addr, len) == 0;
    if (!connected && WSAGetLastError() == WSAEWOULDBLOCK) {
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        FD_ZERO(&failed);
        FD_SET(s, &failed);
        timeval timeout{static_cast<long>(milliseconds / 1000),
                        static_cast<long>(milliseconds % 1000) * 1000};
        const int n = select(0, nullptr, &writable, &failed, &timeout);
        int error = WSAETIMEDOUT;
        int errorLen = sizeof error;
        if (n > 0 && !FD_ISSET(s, &writable))
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &errorLen);
        connected = n > 0 && FD_ISSET(s, &writable);
        if (!connected && n >= 0) WSASetLastError(error);
    }
    const int saved = WSAGetLastError();
    nonBlocking = 0;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    WSASetLastError(saved);
    return connected;
}

// getaddrinfo returns a Windows Sockets error code.
std::string ResolveErrorText(int code) { return ErrorText(code); }

}  // namespace platform

bool Startup() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

int MaxBacklog() { return SOMAXCONN; }

// Closing wakes the receiver; shutting down alone would not.
bool WakeReceiver(Socket s) {
    Close(s);
    return true;
}

// Windows limits sockets by memory only.
unsigned long RaiseSocketLimit(unsigned long) { return ULONG_MAX; }

}  // namespace netio
