// kelsrv: the reference connector server as a program. See --help.
#include <iostream>
#include <string>

#include "netio.h"
#include "options.h"
#include "server.h"
#include "stop_signal.h"
#include "text.h"

namespace {

// Descriptors the program needs besides one per connection: the standard
// streams, the listener and a few for the system's own use.
constexpr unsigned long kSpareDescriptors = 16;

// A connection beyond the descriptor limit would wait in the backlog
// instead of being served or refused: say so at start-up.
void WarnIfTooFewDescriptors(const kelsrv::Options &options) {
    const unsigned long wanted = static_cast<unsigned long>(options.maxClients) + kSpareDescriptors;
    const unsigned long limit = netio::RaiseSocketLimit(wanted);
    if (limit < wanted)
        std::cerr << "kelsrv: warning: this process may open " << limit << " descriptors, fewer than "
                  << options.maxClients << " clients need (raise ulimit -n or lower --max-clients)"
                  << std::endl;
}

}  // namespace

int main(int argc, char **argv) {
    kelsrv::Options options;
    options.log = [](const std::string &line) { std::cerr << "kelsrv: " << line << std::endl; };
    const kelsrv::CommandLine commandLine = kelsrv::ParseCommandLine(argc, argv, &options);
    if (commandLine.exitCode != kelsrv::kExitStopped) {
        std::cerr << "kelsrv: " << commandLine.error << "\n";
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
    kelsrv::BlockStopSignals();
    WarnIfTooFewDescriptors(options);
    kelsrv::Server server;
    std::string error;
    if (!server.Start(options, &error)) {
        std::cerr << "kelsrv: " << error << "\n";
        return kelsrv::kExitCannotStart;
    }
    std::cout << "kelsrv listening on " << options.address << ":" << server.Port() << std::endl;
    // Said even with --quiet: whether anyone may log on is no connection event.
    std::cerr << "kelsrv: " << kelsrv::DescribeSettings(options) << "; listen backlog " << netio::MaxBacklog()
              << std::endl;
    kelsrv::WaitForStopSignal();
    server.Stop();
    if (options.log)
        options.log("stopped after " + std::to_string(server.ConnectionsAccepted()) + " connection(s), " +
                    std::to_string(server.ConnectionsRefused()) + " refused");
    return kelsrv::kExitStopped;
}
