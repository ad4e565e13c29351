// A program that cannot be rebuilt gets its TLS settings from the
// environment (KELAPI_TLS, KELAPI_TLS_CA, KELAPI_TLS_SERVER_NAME): run with
// them set, it prints the settings a new connection starts with and what a
// connect to a closed loopback port gives:
//   tls MODE ca FILE name NAME unusable 0|1 connect CODE reason TEXT
// Settings that cannot work refuse before the TCP connect, so their reason
// is TLS's own, not the refused connection's.
#include <cstdio>

#include "kelapi_internal.h"
#include "silent_peer.h"
#include "tls.h"

int main() {
    HKELCONNECTION h = nullptr;
    if (KelAllocConnection(kel_test::LoopbackIP(), kel_test::ClosedPort(), "u", "p", nullptr, &h) != KEL_OK)
        return 2;
    const KelTls *lpTls = static_cast<KelConnection *>(h)->lpTls;
    const int32_t nRc = KelConnect(h);
    char szReason[KEL_REASON_SIZE];
    KelGetErrorText(szReason, sizeof szReason);
    if (lpTls)
        std::printf("tls %u ca %s name %s unusable %d ", (unsigned)lpTls->dwMode,
                    lpTls->szCAFile ? lpTls->szCAFile : "-", lpTls->szServerName ? lpTls->szServerName : "-",
                    lpTls->szUnusable ? 1 : 0);
    else
        std::printf("no tls ");
    std::printf("connect %d reason %s\n", (int)nRc, szReason);
    if (static_cast<KelConnection *>(h)->hSocket != KEL_INVALID_SOCKET) KelDisconnect(h);
    return KelFreeConnection(h) == KEL_OK ? 0 : 2;
}
