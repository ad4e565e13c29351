// Threads with a stack of a chosen size, for kelsrv's connections: a
// thousand of them must fit in the address space of a 32-bit process.
#ifndef KELSRV_THREAD_H
#define KELSRV_THREAD_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace kelsrv {

class Thread {
public:
    Thread();
    ~Thread();  // joins a thread that still runs
    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;

    // Runs body on a new thread whose stack reserves stackBytes. False, with
    // *error saying why, when the system starts no thread (nothing runs then).
    bool Start(std::function<void()> body, std::size_t stackBytes, std::string *error);

    // Waits for the thread to end; returns at once if none runs or it was joined.
    void Join();

private:
    struct Native;  // the platform's handle and the body it runs
    std::unique_ptr<Native> native_;
};

// How the server starts each of its threads: Thread::Start with the stack
// size the server chooses, unless a test puts in one that fails.
using ThreadStarter = std::function<bool(Thread *thread, std::function<void()> body, std::size_t stackBytes,
                                         std::string *error)>;

}  // namespace kelsrv

#endif
