// fake_tls_host.cpp - the in-memory TLS server behind the fake seam.
#include "fake_tls_host.h"

#include <cstdio>
#include <cstdlib>

#include <openssl/err.h>
#include <openssl/ssl.h>

FakeTlsHost::FakeTlsHost(const std::string &certFile, const std::string &keyFile) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_ || SSL_CTX_use_certificate_chain_file(ctx_, certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        fprintf(stderr, "fake TLS host: cannot use %s and %s\n", certFile.c_str(), keyFile.c_str());
        abort();
    }
    // One ticket after the handshake: the client must read past it to the first reply.
    SSL_CTX_set_num_tickets(ctx_, 1);
}

FakeTlsHost::~FakeTlsHost() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
}

void FakeTlsHost::Start(const std::vector<Bytes> &replies, const std::vector<size_t> &requestSizes,
                        size_t nRecvCut, size_t nChunk) {
    SSL_free(ssl_);
    ssl_ = SSL_new(ctx_);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_accept_state(ssl_);
    replies_ = replies;
    requestEnds_.clear();
    size_t nEnd = 0;
    for (size_t nSize : requestSizes) requestEnds_.push_back(nEnd += nSize);
    nRecvCut_ = nRecvCut;
    nChunk_ = nChunk;
    nSent_ = nTaken_ = requestBytes_ = nextReply_ = 0;
    handshakeDone_ = false;
    marks_ = Marks();
    g_Fake.peer = [this](const uint8_t *lpData, size_t nLen) { Take(lpData, nLen); };
}

void FakeTlsHost::Take(const uint8_t *lpData, size_t nLen) {
    nTaken_ += nLen;
    BIO_write(in_, lpData, (int)nLen);
    if (!handshakeDone_) {
        handshakeDone_ = SSL_do_handshake(ssl_) == 1;
        if (handshakeDone_) marks_.nClientHandshake = nTaken_;
        else marks_.nServerFlight = nSent_ + (size_t)BIO_pending(out_);
        Flush();
    }
    if (handshakeDone_) ReadRequests();
    ERR_clear_error();
}

void FakeTlsHost::ReadRequests() {
    uint8_t abChunk[4096];
    for (int n; (n = SSL_read(ssl_, abChunk, sizeof abChunk)) > 0;) requestBytes_ += (size_t)n;
    while (nextReply_ < replies_.size() && nextReply_ < requestEnds_.size() &&
           requestBytes_ >= requestEnds_[nextReply_]) {
        const Bytes &reply = replies_[nextReply_++];
        if (!reply.empty()) SSL_write(ssl_, reply.data(), (int)reply.size());
        Flush();
        marks_.requestEnds.push_back(nTaken_);
        marks_.replyEnds.push_back(nSent_);
    }
}

// The records written so far go to the fake seam's receives, up to the cut.
void FakeTlsHost::Flush() {
    Bytes records((size_t)BIO_pending(out_));
    if (records.empty()) return;
    BIO_read(out_, records.data(), (int)records.size());
    size_t nRoom = nSent_ < nRecvCut_ ? nRecvCut_ - nSent_ : 0;
    nSent_ += records.size();
    if (records.size() > nRoom) records.resize(nRoom);
    if (!records.empty()) ScriptReceive(records, nChunk_);
}
