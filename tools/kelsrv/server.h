// The kelsrv engine: a listening socket, one thread accepting and one
// thread per client connection. Usable in-process by tests.
#ifndef KELSRV_SERVER_H
#define KELSRV_SERVER_H

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "netio.h"
#include "options.h"

namespace kelsrv {

class Server {
public:
    Server() = default;
    ~Server();  // stops the server if it runs
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Listens on options.address:options.port and starts accepting. False
    // with *error set if the socket could not be opened; a server starts once.
    bool Start(const Options &options, std::string *error = nullptr);

    // The port in use (the chosen one when options.port was 0); 0 before Start.
    std::uint16_t Port() const { return port_; }

    // Stops accepting, cuts every open connection and joins all threads.
    // Returns when nothing of the server runs any more; safe to call twice.
    void Stop();

    // Connections accepted so far.
    unsigned long ConnectionsAccepted() const { return accepted_.load(); }

private:
    struct Client {
        netio::Socket socket;  // kInvalidSocket once Stop has closed it
        bool done = false;     // set under mutex_ when the thread closes socket
        std::thread thread;
    };

    void AcceptLoop();
    void StartClient(netio::Socket s);
    void ServeClient(Client *client, unsigned long number);
    void ReapFinishedClients();
    void WakeAcceptLoop();
    void Log(const std::string &line);

    Options options_;
    netio::Socket listener_ = netio::kInvalidSocket;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<unsigned long> accepted_{0};
    std::thread acceptThread_;
    std::mutex mutex_;  // guards clients_ and the done flags
    std::list<Client> clients_;
    std::mutex logMutex_;
};

}  // namespace kelsrv

#endif
