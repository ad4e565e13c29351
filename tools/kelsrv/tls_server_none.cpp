// kelsrv's TLS in a build without it (Windows): it says so and serves none.
#include "tls_server.h"

namespace kelsrv {

class TlsContext {};
struct TlsStream::Native {};

bool TlsAvailable() { return false; }

std::shared_ptr<const TlsContext> LoadTls(const std::string &, const std::string &, std::string *error) {
    *error = "this kelsrv has no TLS: --tls-cert and --tls-key are served by the POSIX builds";
    return nullptr;
}

TlsStream::TlsStream(std::unique_ptr<Native> native) : native_(std::move(native)) {}
TlsStream::~TlsStream() = default;

std::unique_ptr<TlsStream> TlsStream::Accept(const TlsContext &, netio::Socket, std::string *error) {
    *error = "this kelsrv has no TLS";
    return nullptr;
}

long TlsStream::ReceiveSome(void *, std::size_t) { return -1; }
bool TlsStream::SendAll(const void *, std::size_t) { return false; }
std::string TlsStream::Version() const { return "none"; }

std::string TlsHelpText() {
    return "      (no TLS: this build has none; the POSIX builds serve TLS with\n"
           "      --tls-cert FILE --tls-key FILE)\n";
}

}  // namespace kelsrv
