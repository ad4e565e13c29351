// kelsrv --forward: each client is connected to the real host and every
// byte is passed on unchanged both ways, while each frame is logged in one
// line and, with --record, written to the record. Password fields are
// never logged and are recorded as zeros.
#ifndef KELSRV_PROXY_H
#define KELSRV_PROXY_H

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "record.h"
#include "relay.h"

namespace kelsrv {

class Proxy : public ConnectionHandler {
public:
    // Forwards to options.forwardHost; record may be null.
    Proxy(const Options &options, std::unique_ptr<RecordWriter> record);

    void Serve(netio::Socket client, unsigned long number) override;
    void Stop() override;
    std::string Summary() const override;
    int ExitCode() const override;

private:
    struct Link;

    void Pump(Link *link, Side from);
    void Decode(Link *link, Side from, const std::uint8_t *bytes, std::size_t len, FrameScanner *scanner);
    void EndDirection(Link *link, Side from, const FrameScanner &scanner, const std::string &failure);
    void Record(const Link &link, RecordItem item);
    void CutHost(Link *link);
    void CutHostLocked(Link *link);  // with mutex_ held
    bool Register(Link *link);
    void Unregister(Link *link);

    const Options options_;
    const std::string target_;
    std::unique_ptr<RecordWriter> record_;
    ConnectionLog log_;
    std::atomic<unsigned long> sessions_{0};
    std::atomic<unsigned long> frames_{0};
    std::atomic<bool> recordFailed_{false};

    std::mutex mutex_;  // guards the two below and each link's host socket
    bool stopping_ = false;
    std::set<Link *> links_;
};

}  // namespace kelsrv

#endif
