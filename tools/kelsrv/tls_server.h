// kelsrv's TLS: the certificate and key it serves, and one TLS session per
// connection over the connection's socket. POSIX builds have it (OpenSSL);
// the Windows build has none and says so.
#ifndef KELSRV_TLS_SERVER_H
#define KELSRV_TLS_SERVER_H

#include <cstddef>
#include <memory>
#include <string>

#include "netio.h"

namespace kelsrv {

// The certificate chain and key of the server, shared by all sessions.
class TlsContext;

// Whether this build serves TLS.
bool TlsAvailable();

// Loads a PEM certificate chain (the server's certificate first) and the
// PEM private key that belongs to it. Null, with *error set, when a file
// cannot be read, holds no certificate or key, or the two do not belong
// together; also in a build without TLS.
std::shared_ptr<const TlsContext> LoadTls(const std::string &certFile, const std::string &keyFile,
                                          std::string *error);

// One TLS session on a connected socket; the caller keeps and closes the socket.
class TlsStream {
public:
    // Runs the server's side of the handshake, each socket step bounded by
    // the socket's own time-outs. Null, with *error set, when it fails.
    static std::unique_ptr<TlsStream> Accept(const TlsContext &context, netio::Socket s, std::string *error);
    ~TlsStream();  // sends the goodbye where the session is still sound
    TlsStream(const TlsStream &) = delete;
    TlsStream &operator=(const TlsStream &) = delete;

    // As netio::ReceiveSome and netio::SendAll, through the session. After
    // a failure netio::TimedOut() and netio::LastError() tell what the
    // socket met; a fault of TLS itself shows as a protocol error.
    long ReceiveSome(void *buffer, std::size_t len);
    bool SendAll(const void *data, std::size_t len);

    // The protocol version, such as "TLSv1.3".
    std::string Version() const;

    struct Native;

private:
    explicit TlsStream(std::unique_ptr<Native> native);
    std::unique_ptr<Native> native_;
};

// The lines of --help about TLS: the options, or that this build has none.
std::string TlsHelpText();

}  // namespace kelsrv

#endif
