// The benchmark's raw TLS client where there is no OpenSSL (Windows): none.
#include "raw_tls.h"

namespace kelbench {

RawTls::RawTls(const std::string &) {}
RawTls::~RawTls() = default;
SSL *RawTls::Open(netio::Socket) const { return nullptr; }
bool RawTls::SendAll(SSL *, const void *, std::size_t) { return false; }
bool RawTls::ReceiveExact(SSL *, void *, std::size_t) { return false; }
void RawTls::Close(SSL *) {}

void CountOpenSslHeap() {}
void StartCountingOpenSslHeap() {}
OpenSslHeapCounts StopCountingOpenSslHeap() { return OpenSslHeapCounts(); }

}  // namespace kelbench
