// kelsrv: the reference connector server as a program. See --help.
#include <cstdio>
#include <iostream>
#include <string>

#include "options.h"
#include "server.h"

#if defined(_WIN32)
#  include <windows.h>

#  include <condition_variable>
#  include <mutex>
#else
#  include <pthread.h>

#  include <csignal>
#endif

namespace {

#if defined(_WIN32)
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

void BlockStopSignals() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

void WaitForStopSignal() {
    std::unique_lock<std::mutex> lock(gStopMutex);
    gStopSignal.wait(lock, [] { return gStopRequested; });
}
#else
sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Blocked before any thread starts, so that every thread inherits the mask
// and the signals wait for sigwait on the main thread.
void BlockStopSignals() {
    sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void WaitForStopSignal() {
    sigset_t set = StopSignals();
    int signal = 0;
    sigwait(&set, &signal);
}
#endif

}  // namespace

int main(int argc, char **argv) {
    kelsrv::Options options;
    options.log = [](const std::string &line) { std::cerr << "kelsrv: " << line << std::endl; };
    bool help = false;
    std::string error;
    if (!kelsrv::ParseCommandLine(argc, argv, &options, &help, &error)) {
        std::cerr << "kelsrv: " << error << "\n";
        return 2;
    }
    if (help) {
        std::cout << kelsrv::HelpText();
        return 0;
    }
    BlockStopSignals();
    kelsrv::Server server;
    if (!server.Start(options, &error)) {
        std::cerr << "kelsrv: " << error << "\n";
        return 1;
    }
    std::cout << "kelsrv listening on " << options.address << ":" << server.Port() << std::endl;
    if (options.log)
        options.log("misbehaviour " + kelsrv::MisbehaviourName(options) + ", " +
                    std::to_string(options.users.size()) + " user(s)");
    WaitForStopSignal();
    server.Stop();
    if (options.log)
        options.log("stopped after " + std::to_string(server.ConnectionsAccepted()) + " connection(s)");
    return 0;
}
