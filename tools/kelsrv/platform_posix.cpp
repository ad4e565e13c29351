// platform_posix.cpp - kelsrv's threads and stop signals on POSIX systems.
#include <pthread.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstring>

#include "stop_signal.h"
#include "thread.h"

namespace kelsrv {

struct Thread::Native {
    pthread_t handle;
    std::function<void()> body;

    static void *Run(void *native) {
        static_cast<Native *>(native)->body();
        return nullptr;
    }
};

Thread::Thread() = default;
Thread::~Thread() { Join(); }

bool Thread::Start(std::function<void()> body, std::size_t stackBytes, std::string *error) {
    auto native = std::make_unique<Native>();
    native->body = std::move(body);
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) {
        rc = pthread_attr_setstacksize(&attr,
                                       std::max(stackBytes, static_cast<std::size_t>(PTHREAD_STACK_MIN)));
        if (rc == 0) rc = pthread_create(&native->handle, &attr, &Native::Run, native.get());
        pthread_attr_destroy(&attr);
    }
    if (rc != 0) {
        *error = std::string(std::strerror(rc)) + " (" + std::to_string(rc) + ")";
        return false;
    }
    native_ = std::move(native);
    return true;
}

void Thread::Join() {
    if (!native_) return;
    pthread_join(native_->handle, nullptr);
    native_.reset();
}

namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

// Every thread inherits the mask, so the signals wait for sigwait.
void BlockStopSignals() {
    sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void WaitForStopSignal() {
    sigset_t set = StopSignals();
    int signal = 0;
    sigwait(&set, &signal);
}

}  // namespace kelsrv
