#include "raw_tls.h"

#include <cstdlib>
#include <map>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace kelbench {

RawTls::RawTls(const std::string &caFile) {
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (!ctx_) return;
    bool ready = SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION) == 1 &&
                 SSL_CTX_load_verify_locations(ctx_, caFile.c_str(), nullptr) == 1;
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    if (!ready) {
        SSL_CTX_free(ctx_);
        ctx_ = nullptr;
    }
    ERR_clear_error();
}

RawTls::~RawTls() { SSL_CTX_free(ctx_); }

SSL *RawTls::Open(netio::Socket s) const {
    SSL *ssl = SSL_new(ctx_);
    if (ssl && SSL_set_fd(ssl, static_cast<int>(s)) == 1 &&
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1") == 1 && SSL_connect(ssl) == 1 &&
        SSL_get_verify_result(ssl) == X509_V_OK)
        return ssl;
    SSL_free(ssl);
    ERR_clear_error();
    return nullptr;
}

bool RawTls::SendAll(SSL *ssl, const void *data, std::size_t len) {
    return SSL_write(ssl, data, static_cast<int>(len)) == static_cast<int>(len);
}

bool RawTls::ReceiveExact(SSL *ssl, void *buffer, std::size_t len) {
    char *p = static_cast<char *>(buffer);
    for (std::size_t got = 0; got < len;) {
        int n = SSL_read(ssl, p + got, static_cast<int>(len - got));
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

void RawTls::Close(SSL *ssl) {
    if (!ssl) return;
    SSL_shutdown(ssl);
    SSL_free(ssl);
    ERR_clear_error();
}

// ---- OpenSSL's heap calls

namespace {

thread_local bool t_counting = false;
thread_local OpenSslHeapCounts *t_counts = nullptr;
thread_local std::map<std::string, unsigned long> *t_places = nullptr;

void Note(const char *file, int line) {
    if (!t_counting) return;
    t_counting = false;  // the map's own allocations are not OpenSSL's
    ++t_counts->allocations;
    ++(*t_places)[std::string(file && *file ? file : "?") + ":" + std::to_string(line)];
    t_counting = true;
}

void *CountedMalloc(std::size_t size, const char *file, int line) {
    Note(file, line);
    return std::malloc(size);
}

void *CountedRealloc(void *block, std::size_t size, const char *file, int line) {
    Note(file, line);
    return std::realloc(block, size);
}

void CountedFree(void *block, const char *, int) { std::free(block); }

}  // namespace

void CountOpenSslHeap() {
    static const bool installed = CRYPTO_set_mem_functions(CountedMalloc, CountedRealloc, CountedFree) == 1;
    (void)installed;
}

void StartCountingOpenSslHeap() {
    static thread_local OpenSslHeapCounts counts;
    static thread_local std::map<std::string, unsigned long> places;
    counts = OpenSslHeapCounts();
    places.clear();
    t_counts = &counts;
    t_places = &places;
    t_counting = true;
}

OpenSslHeapCounts StopCountingOpenSslHeap() {
    t_counting = false;
    OpenSslHeapCounts result = *t_counts;
    for (const auto &place : *t_places) {
        if (!result.where.empty()) result.where += ", ";
        result.where += place.first + " x" + std::to_string(place.second);
    }
    return result;
}

}  // namespace kelbench
