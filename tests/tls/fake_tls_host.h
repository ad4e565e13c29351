// fake_tls_host.h - a TLS server behind the fake seam, in memory: it takes
// the client's bytes that the fake peer takes, runs the server's side of
// the handshake, reads the requests and answers each complete one with the
// next of its replies, and hands its TLS records to the fake seam's
// receives. So the faults the fake seam deals (a connection cut after any
// byte either way, by a close or a reset, in small pieces) hit a TLS
// session as they hit a plain one.
#ifndef KEL_TESTS_FAKE_TLS_HOST_H
#define KEL_TESTS_FAKE_TLS_HOST_H

#include <cstddef>
#include <string>
#include <vector>

#include "fake_seam.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;

class FakeTlsHost {
public:
    // The certificate chain and key it serves.
    FakeTlsHost(const std::string &certFile, const std::string &keyFile);
    ~FakeTlsHost();
    FakeTlsHost(const FakeTlsHost &) = delete;
    FakeTlsHost &operator=(const FakeTlsHost &) = delete;

    // A fresh session on the installed fake seam: replies[i] answers the
    // request of requestSizes[i] bytes; the client receives at most
    // nRecvCut bytes of the records, each receive at most nChunk (0: all
    // there is). It sees the client's bytes through g_Fake.peer.
    void Start(const std::vector<Bytes> &replies, const std::vector<size_t> &requestSizes,
               size_t nRecvCut = SIZE_MAX, size_t nChunk = 0);

    // Where the sound session's bytes fall, for a cut to be placed: the
    // client's handshake bytes and the server's first flight, and after each
    // request and reply, the bytes sent so far either way.
    struct Marks {
        size_t nClientHandshake = 0, nServerFlight = 0;
        std::vector<size_t> requestEnds, replyEnds;
    };
    const Marks &Seen() const { return marks_; }

    // Whether the handshake completed, and the plaintext bytes of requests it read.
    bool HandshakeDone() const { return handshakeDone_; }
    size_t RequestBytes() const { return requestBytes_; }

private:
    void Take(const uint8_t *lpData, size_t nLen);
    void ReadRequests();
    void Flush();

    SSL_CTX *ctx_ = nullptr;
    SSL *ssl_ = nullptr;
    BIO *in_ = nullptr, *out_ = nullptr;  // the session's, not ours to free
    std::vector<Bytes> replies_;
    std::vector<size_t> requestEnds_;  // plaintext offsets where each request ends
    size_t nRecvCut_ = SIZE_MAX, nChunk_ = 0, nSent_ = 0, nTaken_ = 0, requestBytes_ = 0, nextReply_ = 0;
    bool handshakeDone_ = false;
    Marks marks_;
};

#endif
