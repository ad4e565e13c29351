// platform_win32.cpp - kelsrv's threads and console stop events on Windows.
#include <windows.h>

#include <process.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "stop_signal.h"
#include "thread.h"

namespace kelsrv {

struct Thread::Native {
    HANDLE handle = nullptr;
    std::function<void()> body;

    static unsigned __stdcall Run(void *native) {
        static_cast<Native *>(native)->body();
        return 0;
    }
};

Thread::Thread() = default;
Thread::~Thread() { Join(); }

// The size is a reservation: without the flag it would be what the thread
// commits at once, and every thread would reserve the program's default.
bool Thread::Start(std::function<void()> body, std::size_t stackBytes, std::string *error) {
    auto native = std::make_unique<Native>();
    native->body = std::move(body);
    native->handle =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, static_cast<unsigned>(stackBytes), &Native::Run,
                                                native.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!native->handle) {
        *error = std::string(std::strerror(errno)) + " (" + std::to_string(errno) + ")";
        return false;
    }
    native_ = std::move(native);
    return true;
}

void Thread::Join() {
    if (!native_) return;
    WaitForSingleObject(native_->handle, INFINITE);
    CloseHandle(native_->handle);
    native_.reset();
}

namespace {

std::mutex gStopMutex;
std::condition_variable gStopSignal;
bool gStopRequested = false;

// Windows runs console control handlers on a thread of their own.
BOOL WINAPI OnConsoleControl(DWORD) {
    std::lock_guard<std::mutex> lock(gStopMutex);
    gStopRequested = true;
    gStopSignal.notify_all();
    return TRUE;
}

}  // namespace

void BlockStopSignals() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

void WaitForStopSignal() {
    std::unique_lock<std::mutex> lock(gStopMutex);
    gStopSignal.wait(lock, [] { return gStopRequested; });
}

}  // namespace kelsrv
