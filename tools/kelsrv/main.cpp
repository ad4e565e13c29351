// kelsrv: the reference connector server as a program. See --help.
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include "netio.h"
#include "options.h"
#include "relay.h"
#include "server.h"
#include "stop_signal.h"
#include "text.h"
#include "tls_server.h"

namespace {

// One line on stderr; lines written from several threads never interleave.
void ErrorLine(const std::string &line) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::cerr << "kelsrv: " << line << std::endl;
}

// Descriptors the program needs besides one per connection: the standard
// streams, the listener and a few for the system's own use.
constexpr unsigned long kSpareDescriptors = 16;

// A connection beyond the descriptor limit would wait in the backlog
// instead of being served or refused: say so at start-up.
void WarnIfTooFewDescriptors(const kelsrv::Options &options) {
    const unsigned long perClient = options.forwardHost.empty() ? 1 : 2;  // a proxy holds the host's too
    const unsigned long wanted =
        static_cast<unsigned long>(options.maxClients) * perClient + kSpareDescriptors;
    const unsigned long limit = netio::RaiseSocketLimit(wanted);
    if (limit < wanted)
        ErrorLine("warning: this process may open " + std::to_string(limit) + " descriptors, fewer than " +
                  std::to_string(options.maxClients) +
                  " clients need (raise ulimit -n or lower --max-clients)");
}

}  // namespace

int main(int argc, char **argv) {
    kelsrv::Options options;
    options.log = ErrorLine;
    const kelsrv::CommandLine commandLine = kelsrv::ParseCommandLine(argc, argv, &options);
    if (commandLine.exitCode != kelsrv::kExitStopped) {
        ErrorLine(commandLine.error);
        return commandLine.exitCode;
    }
    if (commandLine.action == kelsrv::Action::Help) {
        std::cout << kelsrv::HelpText();
        return kelsrv::kExitStopped;
    }
    if (commandLine.action == kelsrv::Action::Version) {
        std::cout << keltools::VersionLine("kelsrv") << "\n";
        return kelsrv::kExitStopped;
    }
    std::string error;
    if (!options.tlsCertFile.empty()) {
        options.tls = kelsrv::LoadTls(options.tlsCertFile, options.tlsKeyFile, &error);
        if (!options.tls) {
            ErrorLine(error);
            return kelsrv::kExitTls;
        }
    }
    std::unique_ptr<kelsrv::ConnectionHandler> handler;  // a proxy or a replay in place of kelsrv's own host
    if (!kelsrv::MakeConnectionHandler(options, &handler, &error)) {
        ErrorLine(error);
        return kelsrv::kExitRecordFile;
    }
    kelsrv::BlockStopSignals();
    WarnIfTooFewDescriptors(options);
    kelsrv::Server server({}, handler.get());
    if (!server.Start(options, &error)) {
        ErrorLine(error);
        return kelsrv::kExitCannotStart;
    }
    // Said even with --quiet (whether anyone may log on is no connection
    // event), and before the port is known to any client.
    ErrorLine(kelsrv::DescribeSettings(options) + "; listen backlog " + std::to_string(netio::MaxBacklog()));
    std::cout << "kelsrv listening on " << options.address << ":" << server.Port() << std::endl;
    kelsrv::WaitForStopSignal();
    server.Stop();
    if (options.log)
        options.log("stopped after " + std::to_string(server.ConnectionsAccepted()) + " connection(s), " +
                    std::to_string(server.ConnectionsRefused()) + " refused");
    if (!handler) return kelsrv::kExitStopped;
    if (!handler->Summary().empty()) ErrorLine(handler->Summary());  // said even with --quiet
    return handler->ExitCode();
}
