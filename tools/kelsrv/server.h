// The kelsrv engine: a listening socket, one thread accepting and one
// thread per client connection, at most options.maxClients of them. Usable
// in-process by tests.
#ifndef KELSRV_SERVER_H
#define KELSRV_SERVER_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>

#include "log.h"
#include "netio.h"
#include "options.h"
#include "relay.h"
#include "thread.h"

namespace kelsrv {

class Server {
public:
    // starter starts the server's threads; empty: Thread::Start. handler
    // (the caller's, outliving the server) serves each connection in place
    // of kelsrv's own host; null: a Session does.
    explicit Server(ThreadStarter starter = {}, ConnectionHandler *handler = nullptr);
    ~Server();  // stops the server if it runs
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Listens on options.address:options.port with the system's largest
    // backlog and starts accepting. False with *error set if the socket
    // could not be opened or the accepting thread not started; a server
    // starts once.
    bool Start(const Options &options, std::string *error = nullptr);

    // The port in use (the chosen one when options.port was 0); 0 before Start.
    std::uint16_t Port() const { return port_; }

    // Stops accepting, cuts every open connection and joins all threads.
    // Returns when nothing of the server runs any more; safe to call twice.
    void Stop();

    // Connections served so far, those running now, and those closed at
    // once because maxClients were running.
    unsigned long ConnectionsAccepted() const { return accepted_.load(); }
    std::size_t ConnectionsOpen() const;
    unsigned long ConnectionsRefused() const { return refused_.load(); }

private:
    struct Client {
        netio::Socket socket;  // kInvalidSocket once closed, by Stop or the thread
        unsigned long number;
        bool done = false;  // the session is over and the socket closed
        std::list<Client>::iterator self;
        Thread thread;
    };

    void AcceptLoop();
    void WaitBeforeRetry();
    bool Admit(netio::Socket s);
    void StartClient(netio::Socket s);
    void ServeClient(Client *client);
    void WakeAcceptLoop();
    void Failed(FailureReport *report, const std::string &reason);
    void ReportPending(bool force);
    void Log(const std::string &line);

    ThreadStarter starter_;
    ConnectionHandler *handler_;
    Options options_;
    netio::Socket listener_ = netio::kInvalidSocket;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<unsigned long> accepted_{0};
    std::atomic<unsigned long> refused_{0};
    Thread acceptThread_;
    // Used by the accept thread only, and by Stop once it has ended.
    FailureReport acceptFailures_{"accept"};
    FailureReport threadFailures_{"starting a connection thread"};

    mutable std::mutex mutex_;         // guards everything below
    std::condition_variable changed_;  // a session ended, or Stop began
    std::list<Client> clients_;        // those not joined yet
    std::size_t open_ = 0;             // clients whose session runs
    unsigned long ended_ = 0;          // sessions that have ended
    // The thread of the session that ended last, which the next one to end
    // joins (and Stop, for the very last): finished threads are reaped as
    // they finish, without a thread of their own.
    Client *lastEnded_ = nullptr;
    std::mutex logMutex_;
};

}  // namespace kelsrv

#endif
