// seam_counter.h - counts what the library asks of the system, through its
// platform seam: every send with its size and hold-back flag, every receive
// with the bytes it brought, the socket set-up calls, heap blocks and clock
// reads. For one thread at a time, the one that drives the library.
#ifndef KELBENCH_SEAM_COUNTER_H
#define KELBENCH_SEAM_COUNTER_H

#include <string>
#include <vector>

namespace kelbench {

struct SeamCounts {
    std::vector<int> sends;     // bytes offered by each send
    std::vector<int> sendMore;  // the hold-back flag of each send
    std::vector<int> receives;  // bytes each receive brought
    int sockets = 0, noDelays = 0, timeouts = 0, binds = 0, connects = 0, closes = 0;
    int allocations = 0, frees = 0, clockReads = 0;

    // "97, 50" style lists; sends held back are marked "(more)".
    std::string SendList() const;
    std::string ReceiveList() const;
    // The set-up calls that happened, as "socket 1, nodelay 1, ...", or "none".
    std::string SetupList() const;
};

// While an object lives, the library's seam entries count into Counts() and
// then call the real ones; the destructor puts the real entries back.
class SeamCounter {
public:
    SeamCounter();
    ~SeamCounter();
    SeamCounter(const SeamCounter &) = delete;
    SeamCounter &operator=(const SeamCounter &) = delete;

    const SeamCounts &Counts() const;
    void Clear();
};

}  // namespace kelbench

#endif
