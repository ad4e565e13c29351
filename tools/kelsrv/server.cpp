#include "server.h"

#include "session.h"

namespace kelsrv {

Server::~Server() { Stop(); }

bool Server::Start(const Options &options, std::string *error) {
    if (listener_ != netio::kInvalidSocket || stopping_) {
        if (error) *error = "server already started";
        return false;
    }
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
        if (error)
            *error = "cannot listen on " + options.address + ":" + std::to_string(options.port) + ": " +
                     netio::LastError();
        return false;
    }
    acceptThread_ = std::thread(&Server::AcceptLoop, this);
    return true;
}

void Server::Stop() {
    if (listener_ == netio::kInvalidSocket) return;
    stopping_ = true;
    WakeAcceptLoop();
    acceptThread_.join();
    netio::Close(listener_);
    listener_ = netio::kInvalidSocket;
    {
        // Wake every session blocked in a receive. Where that closes the socket
        // the session's thread learns it from the invalid handle and does not
        // close it again.
        std::lock_guard<std::mutex> lock(mutex_);
        for (Client &client : clients_)
            if (!client.done && netio::WakeReceiver(client.socket)) client.socket = netio::kInvalidSocket;
    }
    for (Client &client : clients_) client.thread.join();
    clients_.clear();
}

// The accept loop blocks in accept; a connection of our own gets it out,
// after which it sees stopping_ and ends.
void Server::WakeAcceptLoop() {
    std::string host =
        options_.address.empty() || options_.address == "0.0.0.0" ? "127.0.0.1" : options_.address;
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
            Log("accept failed: " + netio::LastError());
            continue;
        }
        ReapFinishedClients();
        StartClient(s);
    }
}

void Server::StartClient(netio::Socket s) {
    unsigned long number = ++accepted_;
    std::lock_guard<std::mutex> lock(mutex_);
    clients_.push_back(Client{s, false, std::thread()});
    Client *client = &clients_.back();
    client->thread = std::thread(&Server::ServeClient, this, client, number);
}

void Server::ServeClient(Client *client, unsigned long number) {
    netio::Socket s;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        s = client->socket;
    }
    Session(options_, s, number).Run();
    std::lock_guard<std::mutex> lock(mutex_);
    client->done = true;
    netio::Close(client->socket);
}

// Joins the threads of connections that have ended, so that a long-running
// server does not collect one finished thread per connection.
void Server::ReapFinishedClients() {
    std::list<Client> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            auto next = std::next(it);
            if (it->done) finished.splice(finished.end(), clients_, it);
            it = next;
        }
    }
    for (Client &client : finished) client.thread.join();
}

void Server::Log(const std::string &line) {
    if (options_.log) options_.log(line);
}

}  // namespace kelsrv
