// A program that cannot be rebuilt gets its time-out from the environment:
// run with KELAPI_TIMEOUT_MS set, it checks the time-out that a new
// connection starts with and, if there is one, that a connect to a server
// that never answers ends with it.
//   timeout_env_probe EXPECTED_MS
#include <cstdio>
#include <cstdlib>

#include "kelapi_internal.h"
#include "silent_peer.h"

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    const uint32_t dwExpected = (uint32_t)std::strtoul(argv[1], nullptr, 10);
    kel_test::SilentPeer silent;
    HKELCONNECTION h = nullptr;
    if (!silent.Listening() ||
        KelAllocConnection(kel_test::LoopbackIP(), silent.Port(), "u", "p", nullptr, &h))
        return 2;
    const uint32_t dwTimeout = static_cast<KelConnection *>(h)->dwTimeout;
    int32_t nRc = KEL_OK;
    if (dwTimeout) {
        nRc = KelConnect(h);
        KelDisconnect(h);
    }
    KelFreeConnection(h);
    std::printf("time-out %u ms, connect %d\n", (unsigned)dwTimeout, (int)nRc);
    return dwTimeout == dwExpected && nRc == (dwTimeout ? KEL_ERR_COMM : KEL_OK) ? 0 : 1;
}
