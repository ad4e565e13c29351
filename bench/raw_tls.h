// raw_tls.h - the benchmark's raw TLS client side: OpenSSL used directly,
// as a program would that writes each request in one SSL_write and reads the
// reply, with the same checks the library makes in verify-full (the CA
// file, the server's IP address); and a count of OpenSSL's heap calls.
#ifndef KELBENCH_RAW_TLS_H
#define KELBENCH_RAW_TLS_H

#include <cstddef>
#include <string>

#include "netio.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace kelbench {

class RawTls {
public:
    explicit RawTls(const std::string &caFile);
    ~RawTls();
    RawTls(const RawTls &) = delete;
    RawTls &operator=(const RawTls &) = delete;
    bool Ready() const { return ctx_ != nullptr; }

    // A verified TLS session on the connected socket s, or null.
    SSL *Open(netio::Socket s) const;
    static bool SendAll(SSL *ssl, const void *data, std::size_t len);
    static bool ReceiveExact(SSL *ssl, void *buffer, std::size_t len);
    // Says goodbye and frees the session; the socket stays the caller's.
    static void Close(SSL *ssl);

private:
    SSL_CTX *ctx_ = nullptr;
};

// OpenSSL's heap calls made on the thread that counts, from the moment
// CountOpenSslHeap() was called first; call it before anything else uses
// OpenSSL. Allocations and reallocations count, frees do not.
void CountOpenSslHeap();
struct OpenSslHeapCounts {
    unsigned long allocations = 0;
    std::string where;  // "file:line xN, ..." where OpenSSL tells
};
// Counting on this thread starts (afresh) and stops.
void StartCountingOpenSslHeap();
OpenSslHeapCounts StopCountingOpenSslHeap();

}  // namespace kelbench

#endif
