// kelsrv's TLS over OpenSSL 3. The session reads and writes the socket
// through netio (a BIO of our own), so a peer that has gone away fails a
// send instead of raising SIGPIPE, and the socket's time-outs bound every step.
#include <cerrno>
#include <cstring>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "tls_server.h"

namespace kelsrv {

class TlsContext {
public:
    explicit TlsContext(SSL_CTX *ctx) : ctx_(ctx) {}
    ~TlsContext() { SSL_CTX_free(ctx_); }
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;
    SSL_CTX *Get() const { return ctx_; }

private:
    SSL_CTX *ctx_;
};

struct TlsStream::Native {
    netio::Socket socket = netio::kInvalidSocket;
    SSL *ssl = nullptr;
    int socketError = 0;  // errno of the socket call that failed last
    bool broken = false;  // a fatal error: no goodbye any more
    ~Native() { SSL_free(ssl); }
};

namespace {

// OpenSSL's oldest queued error as text, and the queue emptied: the fifth
// field of "error:code:library:function:reason", for a system error the
// system's own text.
std::string TakeError(const std::string &fallback) {
    unsigned long code = ERR_peek_error();
    ERR_clear_error();
    if (!code) return fallback;
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    std::string text = line;
    std::string::size_type at = 0;
    for (int i = 0; i < 4 && at != std::string::npos; ++i)
        if ((at = text.find(':', at)) != std::string::npos) ++at;
    return at == std::string::npos || at >= text.size() ? text : text.substr(at);
}

TlsStream::Native *NativeOf(BIO *bio) { return static_cast<TlsStream::Native *>(BIO_get_data(bio)); }

int NetioWrite(BIO *bio, const char *data, int len) {
    BIO_clear_retry_flags(bio);
    TlsStream::Native *native = NativeOf(bio);
    if (netio::SendAll(native->socket, data, static_cast<std::size_t>(len))) return len;
    native->socketError = errno;
    return -1;
}

int NetioRead(BIO *bio, char *buffer, int len) {
    BIO_clear_retry_flags(bio);
    TlsStream::Native *native = NativeOf(bio);
    long n = netio::ReceiveSome(native->socket, buffer, static_cast<std::size_t>(len));
    if (n < 0) native->socketError = errno;
    return static_cast<int>(n);
}

long NetioCtrl(BIO *, int command, long, void *) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int NetioCreate(BIO *bio) {
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD *NetioMethod() {
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kelsrv netio");
        if (m) {
            BIO_meth_set_write(m, NetioWrite);
            BIO_meth_set_read(m, NetioRead);
            BIO_meth_set_ctrl(m, NetioCtrl);
            BIO_meth_set_create(m, NetioCreate);
        }
        return m;
    }();
    return method;
}

// After a failed call: errno as the socket left it, or EPROTO for a fault of TLS itself.
void SetErrno(const TlsStream::Native &native, int sslError) {
    errno = sslError == SSL_ERROR_SYSCALL && native.socketError ? native.socketError : EPROTO;
}

}  // namespace

bool TlsAvailable() { return true; }

std::shared_ptr<const TlsContext> LoadTls(const std::string &certFile, const std::string &keyFile,
                                          std::string *error) {
    ERR_clear_error();
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    auto context = std::make_shared<TlsContext>(ctx);
    if (!ctx || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1)
        return *error = "TLS cannot start: " + TakeError("?"), nullptr;
    // A client that closes its socket without a goodbye has ended the
    // connection all the same: the frames say whether it was cut short.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1)
        return *error = "cannot use the TLS certificate file '" + certFile + "': " + TakeError("?"), nullptr;
    if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        return *error = "cannot use the TLS key file '" + keyFile + "': " + TakeError("?"), nullptr;
    if (SSL_CTX_check_private_key(ctx) != 1)
        return *error = "the TLS key in '" + keyFile + "' does not belong to the certificate in '" + certFile +
                        "'",
               ERR_clear_error(), nullptr;
    return context;
}

TlsStream::TlsStream(std::unique_ptr<Native> native) : native_(std::move(native)) {}

TlsStream::~TlsStream() {
    if (!native_->broken) SSL_shutdown(native_->ssl);  // our goodbye; the client's is not awaited
    ERR_clear_error();
}

std::unique_ptr<TlsStream> TlsStream::Accept(const TlsContext &context, netio::Socket s, std::string *error) {
    auto native = std::make_unique<Native>();
    native->socket = s;
    ERR_clear_error();
    native->ssl = SSL_new(context.Get());
    BIO *bio = native->ssl && NetioMethod() ? BIO_new(NetioMethod()) : nullptr;
    if (!bio) return *error = "TLS cannot start: " + TakeError("no memory"), nullptr;
    BIO_set_data(bio, native.get());
    SSL_set_bio(native->ssl, bio, bio);
    if (SSL_accept(native->ssl) != 1) {
        native->broken = true;
        *error = TakeError(native->socketError ? std::strerror(native->socketError)
                                               : "the client closed the connection");
        return nullptr;
    }
    return std::unique_ptr<TlsStream>(new TlsStream(std::move(native)));
}

long TlsStream::ReceiveSome(void *buffer, std::size_t len) {
    ERR_clear_error();
    int n = SSL_read(native_->ssl, buffer, len > 65536 ? 65536 : static_cast<int>(len));
    if (n > 0) return n;
    int sslError = SSL_get_error(native_->ssl, n);
    ERR_clear_error();
    if (sslError == SSL_ERROR_ZERO_RETURN) return 0;  // the client's goodbye, or its end of the stream
    native_->broken = true;
    SetErrno(*native_, sslError);
    return -1;
}

bool TlsStream::SendAll(const void *data, std::size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        int chunk = len > 65536 ? 65536 : static_cast<int>(len);
        ERR_clear_error();
        int n = SSL_write(native_->ssl, p, chunk);
        if (n <= 0) {
            native_->broken = true;
            SetErrno(*native_, SSL_get_error(native_->ssl, n));
            ERR_clear_error();
            return false;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string TlsStream::Version() const { return SSL_get_version(native_->ssl); }

std::string TlsHelpText() {
    return "      --tls-cert FILE       serve TLS with this PEM certificate chain (the\n"
           "                            server's certificate first); needs --tls-key\n"
           "      --tls-key FILE        the PEM private key of that certificate\n";
}

}  // namespace kelsrv
