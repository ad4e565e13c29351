#include "server.h"

#include <utility>

#include "session.h"

namespace kelsrv {
namespace {

// An accept that failed (no descriptor left, say) is tried again after this
// long, or as soon as a connection ends and gives its descriptor back.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

bool StartThread(Thread *thread, std::function<void()> body, std::size_t stackBytes, std::string *error) {
    return thread->Start(std::move(body), stackBytes, error);
}

}  // namespace

Server::Server(ThreadStarter starter, ConnectionHandler *handler)
    : starter_(starter ? std::move(starter) : StartThread), handler_(handler) {}

Server::~Server() { Stop(); }

bool Server::Start(const Options &options, std::string *error) {
    if (listener_ != netio::kInvalidSocket || stopping_) {
        if (error) *error = "server already started";
        return false;
    }
    std::string why;
    {
        options_ = options;
        if (options.log) {
            // Sessions log from their own threads; whole lines go out one at a time.
            options_.log = [this, sink = options.log](const std::string &line) {
                std::lock_guard<std::mutex> lock(logMutex_);
                sink(line);
            };
        }
        listener_ = netio::Listen(options.address, options.port, &port_);
        if (listener_ == netio::kInvalidSocket) {
            why = "cannot listen on " + options.address + ":" + std::to_string(options.port) + ": " +
                  netio::LastError();
        } else if (!starter_(
                       &acceptThread_, [this] { AcceptLoop(); }, kConnectionStackBytes, &why)) {
            why = "cannot start the thread that accepts connections: " + why;
            netio::Close(listener_);
            listener_ = netio::kInvalidSocket;
            port_ = 0;
        }
    }
    if (error) *error = why;
    return listener_ != netio::kInvalidSocket;
}

void Server::Stop() {
    if (listener_ == netio::kInvalidSocket) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    WakeAcceptLoop();
    acceptThread_.Join();
    netio::Close(listener_);
    listener_ = netio::kInvalidSocket;
    if (handler_) handler_->Stop();
    Client *last = nullptr;
    {
        // Wake every session blocked in a receive or a send. Where that closes
        // the socket the session's thread learns it from the invalid handle
        // and does not close it again.
        std::unique_lock<std::mutex> lock(mutex_);
        for (Client &client : clients_)
            if (!client.done && netio::WakeReceiver(client.socket)) client.socket = netio::kInvalidSocket;
        changed_.wait(lock, [this] { return open_ == 0; });
        last = std::exchange(lastEnded_, nullptr);
    }
    if (last) last->thread.Join();  // it joined the one before it, and so on
    clients_.clear();
    ReportPending(true);
}

std::size_t Server::ConnectionsOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

// The accept loop blocks in accept; a connection of our own gets it out,
// after which it sees stopping_ and ends.
void Server::WakeAcceptLoop() {
    std::string host = options_.address.empty() || options_.address == "0.0.0.0" ? "127.0.0.1"
                       : options_.address == "::"                                ? "::1"
                                                                                 : options_.address;
    netio::Socket wake = netio::Connect(host, port_);
    if (wake == netio::kInvalidSocket)
        netio::ShutdownBoth(listener_);  // unblocks accept on POSIX systems too
    netio::Close(wake);
}

void Server::AcceptLoop() {
    while (!stopping_) {
        netio::Socket s = netio::Accept(listener_);
        if (stopping_) {
            netio::Close(s);
            break;
        }
        if (s == netio::kInvalidSocket) {
            Failed(&acceptFailures_, netio::LastError());
            WaitBeforeRetry();
            continue;
        }
        ReportPending(false);
        StartClient(s);
    }
}

// Retrying at once would spin for as long as the cause lasts.
void Server::WaitBeforeRetry() {
    std::unique_lock<std::mutex> lock(mutex_);
    const unsigned long seen = ended_;
    changed_.wait_for(lock, kAcceptRetry, [&] { return stopping_ || ended_ != seen; });
}

void Server::StartClient(netio::Socket s) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (open_ >= options_.maxClients) {
        const std::size_t open = open_;
        lock.unlock();
        ++refused_;
        Log("refused a connection from " + netio::PeerName(s) + ": " + std::to_string(open) +
            " clients are served (--max-clients)");
        netio::Close(s);
        return;
    }
    auto it = clients_.emplace(clients_.end());
    Client &client = *it;
    client.socket = s;
    client.number = accepted_ + 1;
    client.self = it;
    // Started under the lock: the thread cannot end, and be joined, before
    // client.thread knows it.
    std::string why;
    if (!starter_(
            &client.thread, [this, &client] { ServeClient(&client); }, kConnectionStackBytes, &why)) {
        clients_.erase(it);
        lock.unlock();
        netio::Close(s);
        Failed(&threadFailures_, why);
        return;
    }
    ++open_;
    ++accepted_;
}

void Server::ServeClient(Client *client) {
    netio::Socket s;
    unsigned long number;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        s = client->socket;
        number = client->number;
    }
    if (handler_)
        handler_->Serve(s, number);
    else
        Session(options_, s, number).Run();
    Client *previous;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        netio::Close(client->socket);
        client->socket = netio::kInvalidSocket;
        client->done = true;
        previous = std::exchange(lastEnded_, client);
        --open_;
        ++ended_;
        changed_.notify_all();
    }
    if (previous) {
        previous->thread.Join();
        std::lock_guard<std::mutex> lock(mutex_);
        clients_.erase(previous->self);
    }
}

void Server::Failed(FailureReport *report, const std::string &reason) {
    const std::string line = report->Failed(reason, FailureReport::Clock::now());
    if (!line.empty()) Log(line);
}

void Server::ReportPending(bool force) {
    const auto now = FailureReport::Clock::now();
    for (FailureReport *report : {&acceptFailures_, &threadFailures_}) {
        const std::string line = report->Pending(now, force);
        if (!line.empty()) Log(line);
    }
}

void Server::Log(const std::string &line) {
    if (options_.log) options_.log(line);
}

}  // namespace kelsrv
