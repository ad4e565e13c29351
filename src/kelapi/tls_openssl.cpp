// tls_openssl.cpp - the TLS layer over OpenSSL 3 (POSIX systems).
//
// The session talks to the socket through a BIO of our own whose write and
// read are the seam's send and receive. The checks are set explicitly on
// every session, never left to the library's defaults: peer verification
// on or off by mode, the trust anchors (the CA file alone, or the system's
// store), the name or IP address in verify-full, TLS 1.2 at least, no
// renegotiation; and the verdict is read back after the handshake.
#include <arpa/inet.h>
#include <string.h>
#include <time.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "tls.h"

// The context is OpenSSL's own SSL_CTX.
static SSL_CTX *KelSslCtx(KelTlsContext *lpContext) { return reinterpret_cast<SSL_CTX *>(lpContext); }

struct KelTlsSession {
    KelTlsWire wire;
    SSL *lpSsl;
    bool bBroken;  // a fatal error: no goodbye can be sent any more
    // The first certificate the chain's check refused, and the server's
    // own, for the reason: references of our own, or null.
    int nVerifyError;
    X509 *lpRefused, *lpLeaf;
};

namespace {

// ---- The BIO: seam I/O for OpenSSL

int SeamBioWrite(BIO *lpBio, const char *lpData, int nLen) {
    BIO_clear_retry_flags(lpBio);
    return KelTlsWireSend(static_cast<KelTlsWire *>(BIO_get_data(lpBio)), lpData, nLen);
}

// 0 is the end of the stream; without a retry flag OpenSSL takes it so.
int SeamBioRead(BIO *lpBio, char *lpBuffer, int nLen) {
    BIO_clear_retry_flags(lpBio);
    return KelTlsWireRecv(static_cast<KelTlsWire *>(BIO_get_data(lpBio)), lpBuffer, nLen);
}

long SeamBioCtrl(BIO *, int nCommand, long, void *) { return nCommand == BIO_CTRL_FLUSH ? 1 : 0; }

int SeamBioCreate(BIO *lpBio) {
    BIO_set_init(lpBio, 1);
    return 1;
}

// Made once for the process and never freed: every session shares it.
const BIO_METHOD *SeamBioMethod(void) {
    static BIO_METHOD *s_lpMethod = [] {
        BIO_METHOD *lpMethod = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kelapi seam");
        if (lpMethod) {
            BIO_meth_set_write(lpMethod, SeamBioWrite);
            BIO_meth_set_read(lpMethod, SeamBioRead);
            BIO_meth_set_ctrl(lpMethod, SeamBioCtrl);
            BIO_meth_set_create(lpMethod, SeamBioCreate);
        }
        return lpMethod;
    }();
    return s_lpMethod;
}

// ---- Words for the reasons

// The reason OpenSSL gives for its oldest queued error, and the queue emptied,
// so that nothing of ours is left for the application to find.
// The reason is the fifth field of "error:code:library:function:reason";
// for a system error it is the system's own text.
void TakeErrorDetail(char *szDetail, size_t nSize) {
    unsigned long nError = ERR_peek_error();
    char szLine[256] = "";
    if (nError) ERR_error_string_n(nError, szLine, sizeof szLine);
    const char *szReason = szLine;
    for (int i = 0; i < 4 && szReason; ++i)
        if ((szReason = strchr(szReason, ':')) != nullptr) ++szReason;
    // Cut to the caller's buffer on purpose: a copy, not a format, says so to the compiler.
    const char *szFrom = szReason && *szReason ? szReason : szLine;
    size_t nLen = strnlen(szFrom, nSize - 1);
    memcpy(szDetail, szFrom, nLen);
    szDetail[nLen] = '\0';
    ERR_clear_error();
}

void CommonName(X509 *lpCert, char *szName, size_t nSize) {
    szName[0] = '\0';
    if (!lpCert) return;
    X509_NAME *lpSubject = X509_get_subject_name(lpCert);
    if (X509_NAME_get_text_by_NID(lpSubject, NID_commonName, szName, (int)nSize) < 0)
        X509_NAME_oneline(lpSubject, szName, (int)nSize);
}

void DateText(const ASN1_TIME *lpTime, char *szDate, size_t nSize) {
    struct tm tmDate;
    memset(&tmDate, 0, sizeof tmDate);
    if (!lpTime || ASN1_TIME_to_tm(lpTime, &tmDate) != 1 ||
        !strftime(szDate, nSize, "%Y-%m-%d %H:%M:%S UTC", &tmDate))
        snprintf(szDate, nSize, "?");
}

// The DNS names and IP addresses of the certificate, else its common name.
void CertificateNames(X509 *lpCert, char *szNames, size_t nSize) {
    szNames[0] = '\0';
    if (!lpCert) return;
    GENERAL_NAMES *lpNames =
        static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(lpCert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; lpNames && i < sk_GENERAL_NAME_num(lpNames); ++i) {
        const GENERAL_NAME *lpName = sk_GENERAL_NAME_value(lpNames, i);
        char szText[KEL_TLS_NAME_SIZE] = "";
        if (lpName->type == GEN_DNS) {
            const ASN1_IA5STRING *lpDns = lpName->d.dNSName;
            snprintf(szText, sizeof szText, "%.*s", ASN1_STRING_length(lpDns),
                     (const char *)ASN1_STRING_get0_data(lpDns));
        } else if (lpName->type == GEN_IPADD) {
            const ASN1_OCTET_STRING *lpIp = lpName->d.iPAddress;
            int nFamily = ASN1_STRING_length(lpIp) == 4    ? AF_INET
                          : ASN1_STRING_length(lpIp) == 16 ? AF_INET6
                                                           : 0;
            if (!nFamily || !inet_ntop(nFamily, ASN1_STRING_get0_data(lpIp), szText, sizeof szText)) continue;
        } else {
            continue;
        }
        KelTlsAppendName(szNames, nSize, szText);
    }
    GENERAL_NAMES_free(lpNames);
    if (!szNames[0]) CommonName(lpCert, szNames, nSize);
}

void RefusalReason(KelTlsSession *lpSession, const char *szServerName, char szReason[KEL_TLS_REASON_SIZE]) {
    X509 *lpCert = lpSession->lpRefused;
    char szSubject[KEL_TLS_NAME_SIZE], szDate[40] = "", szNames[KEL_TLS_REASON_SIZE] = "";
    CommonName(lpCert, szSubject, sizeof szSubject);
    KelTlsRefusal refusal = KelTlsRefusal::Other;
    switch (lpSession->nVerifyError) {
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
            refusal = KelTlsRefusal::NotTrusted;
            CommonName(lpSession->lpLeaf, szSubject, sizeof szSubject);
            break;
        case X509_V_ERR_CERT_HAS_EXPIRED:
            refusal = KelTlsRefusal::Expired;
            DateText(lpCert ? X509_get0_notAfter(lpCert) : nullptr, szDate, sizeof szDate);
            break;
        case X509_V_ERR_CERT_NOT_YET_VALID:
            refusal = KelTlsRefusal::NotYetValid;
            DateText(lpCert ? X509_get0_notBefore(lpCert) : nullptr, szDate, sizeof szDate);
            break;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            refusal = KelTlsRefusal::OtherName;
            CertificateNames(lpSession->lpLeaf, szNames, sizeof szNames);
            break;
        default:
            break;
    }
    KelTlsRefusalReason(refusal, szServerName, szSubject, szDate, szNames,
                        X509_verify_cert_error_string(lpSession->nVerifyError), szReason);
}

// Keeps the first certificate the check refuses; the verdict stays OpenSSL's.
int NoteVerifyResult(int bPreverifyOk, X509_STORE_CTX *lpStoreCtx) {
    if (bPreverifyOk) return 1;
    SSL *lpSsl =
        static_cast<SSL *>(X509_STORE_CTX_get_ex_data(lpStoreCtx, SSL_get_ex_data_X509_STORE_CTX_idx()));
    KelTlsSession *lpSession = lpSsl ? static_cast<KelTlsSession *>(SSL_get_app_data(lpSsl)) : nullptr;
    if (lpSession && !lpSession->nVerifyError) {
        lpSession->nVerifyError = X509_STORE_CTX_get_error(lpStoreCtx);
        lpSession->lpRefused = X509_STORE_CTX_get_current_cert(lpStoreCtx);
        lpSession->lpLeaf = X509_STORE_CTX_get0_cert(lpStoreCtx);
        if (lpSession->lpRefused) X509_up_ref(lpSession->lpRefused);
        if (lpSession->lpLeaf) X509_up_ref(lpSession->lpLeaf);
    }
    return 0;
}

// The checks of the mode on this session: verification, and in
// verify-full the name (an address as an IP address); the handshake's
// server name for a DNS name in every mode.
bool ConfigureSession(SSL *lpSsl, uint32_t dwMode, const char *szName) {
    bool bAddress = KelTlsIsAddress(szName);
    if (dwMode >= KEL_TLS_VERIFY_CA)
        SSL_set_verify(lpSsl, SSL_VERIFY_PEER, NoteVerifyResult);
    else
        SSL_set_verify(lpSsl, SSL_VERIFY_NONE, nullptr);
    if (*szName && !bAddress && SSL_set_tlsext_host_name(lpSsl, szName) != 1) return false;
    if (dwMode != KEL_TLS_VERIFY_FULL) return true;
    X509_VERIFY_PARAM *lpParam = SSL_get0_param(lpSsl);
    X509_VERIFY_PARAM_set_hostflags(lpParam, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return bAddress ? X509_VERIFY_PARAM_set1_ip_asc(lpParam, szName) == 1
                    : X509_VERIFY_PARAM_set1_host(lpParam, szName, 0) == 1;
}

void FreeSession(KelTlsSession *lpSession) {
    SSL_free(lpSession->lpSsl);  // and its BIO
    X509_free(lpSession->lpRefused);
    X509_free(lpSession->lpLeaf);
    KelSecureZero(lpSession, sizeof *lpSession);
    g_KelPlatform.pfnFree(lpSession);
}

}  // namespace

// ---- Context

int32_t KelTlsContextNew(const KelTls *lpTls, KelTlsContext **lppContext,
                         char szReason[KEL_TLS_REASON_SIZE]) {
    char szDetail[128];
    ERR_clear_error();
    SSL_CTX *lpCtx = SSL_CTX_new(TLS_client_method());
    bool bMade = lpCtx && SSL_CTX_set_min_proto_version(lpCtx, TLS1_2_VERSION) == 1;
    if (!bMade) {
        TakeErrorDetail(szDetail, sizeof szDetail);
        SSL_CTX_free(lpCtx);
        KelTlsFormat(szReason, "TLS cannot start: %s", szDetail);
        return KEL_ERR_NOT_CONNECTED;
    }
    SSL_CTX_set_options(lpCtx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_session_cache_mode(lpCtx, SSL_SESS_CACHE_OFF);
    // The CA file alone is trusted when there is one; else the system's store.
    int nLoaded = lpTls->szCAFile ? SSL_CTX_load_verify_locations(lpCtx, lpTls->szCAFile, nullptr)
                                  : SSL_CTX_set_default_verify_paths(lpCtx);
    if (nLoaded != 1) {
        TakeErrorDetail(szDetail, sizeof szDetail);
        SSL_CTX_free(lpCtx);
        KelTlsFormat(szReason, "the TLS CA file %s cannot be used: %s",
                     lpTls->szCAFile ? lpTls->szCAFile : "(system)", szDetail);
        return KEL_ERR_NOT_CONNECTED;
    }
    *lppContext = reinterpret_cast<KelTlsContext *>(lpCtx);
    return KEL_OK;
}

void KelTlsContextFree(KelTlsContext *lpContext) { SSL_CTX_free(KelSslCtx(lpContext)); }

// ---- Session

int32_t KelTlsSessionStart(KelTls *lpTls, KelSocket hSocket, const char *szName,
                           char szReason[KEL_TLS_REASON_SIZE]) {
    KelTlsSession *lpSession = static_cast<KelTlsSession *>(g_KelPlatform.pfnAlloc(sizeof(KelTlsSession)));
    if (!lpSession) {
        KelTlsFormat(szReason, "no memory for a TLS session");
        return KEL_ERR_NOT_CONNECTED;
    }
    memset(lpSession, 0, sizeof *lpSession);
    KelTlsWireInit(&lpSession->wire, hSocket, lpTls);
    ERR_clear_error();
    lpSession->lpSsl = SSL_new(KelSslCtx(lpTls->lpContext));
    BIO *lpBio = SeamBioMethod() ? BIO_new(SeamBioMethod()) : nullptr;
    if (lpBio) BIO_set_data(lpBio, &lpSession->wire);
    bool bReady = lpSession->lpSsl && lpBio;
    if (bReady) {
        SSL_set_bio(lpSession->lpSsl, lpBio, lpBio);  // the session owns the BIO from here
        lpBio = nullptr;
        SSL_set_app_data(lpSession->lpSsl, lpSession);
        bReady = ConfigureSession(lpSession->lpSsl, lpTls->dwMode, szName);
    }
    BIO_free(lpBio);
    if (!bReady) {
        char szDetail[128];
        TakeErrorDetail(szDetail, sizeof szDetail);
        KelTlsFormat(szReason, "TLS cannot start: %s", szDetail);
        FreeSession(lpSession);
        return KEL_ERR_NOT_CONNECTED;
    }

    int nRc = SSL_connect(lpSession->lpSsl);
    // Read the verdict back rather than trust that a handshake which went
    // through was checked: no certificate, or any error, refuses it.
    bool bVerified = lpTls->dwMode < KEL_TLS_VERIFY_CA ||
                     (SSL_get0_peer_certificate(lpSession->lpSsl) &&
                      SSL_get_verify_result(lpSession->lpSsl) == X509_V_OK && !lpSession->nVerifyError);
    if (nRc == 1 && bVerified) {
        ERR_clear_error();
        lpTls->lpSession = lpSession;
        return KEL_OK;
    }
    if (lpSession->nVerifyError) {
        RefusalReason(lpSession, szName, szReason);
    } else if (nRc == 1) {
        KelTlsRefusalReason(KelTlsRefusal::NoCertificate, szName, nullptr, nullptr, nullptr, nullptr,
                            szReason);
    } else {
        char szDetail[128];
        TakeErrorDetail(szDetail, sizeof szDetail);
        KelTlsWireReason(&lpSession->wire, szDetail, szReason);
    }
    ERR_clear_error();
    FreeSession(lpSession);
    return KEL_ERR_NOT_CONNECTED;
}

const char *KelTlsSessionVersion(const KelTlsSession *lpSession) { return SSL_get_version(lpSession->lpSsl); }

const KelTlsWire *KelTlsSessionWire(const KelTlsSession *lpSession) { return &lpSession->wire; }

int KelTlsSessionSend(KelTlsSession *lpSession, const void *lpData, int nLen, int bMore) {
    if (nLen == 0) return 0;  // no record to write
    lpSession->wire.bMore = bMore;
    ERR_clear_error();
    int nWritten = SSL_write(lpSession->lpSsl, lpData, nLen);
    if (nWritten == nLen) return nLen;
    lpSession->bBroken = true;
    ERR_clear_error();
    return -1;
}

int KelTlsSessionRecv(KelTlsSession *lpSession, void *lpBuffer, int nLen) {
    ERR_clear_error();
    int nRead = SSL_read(lpSession->lpSsl, lpBuffer, nLen);
    if (nRead > 0) return nRead;
    int nError = SSL_get_error(lpSession->lpSsl, nRead);
    ERR_clear_error();
    if (nError == SSL_ERROR_ZERO_RETURN) return 0;  // the peer said goodbye
    if (lpSession->wire.nLastRecv == 0) {           // the peer closed without one
        lpSession->bBroken = true;
        return 0;
    }
    lpSession->bBroken = true;
    return -1;
}

void KelTlsSessionEnd(KelTlsSession *lpSession) {
    if (!lpSession->bBroken) {
        lpSession->wire.bMore = 0;
        SSL_shutdown(lpSession->lpSsl);  // our goodbye only: the peer's is not awaited
    }
    ERR_clear_error();
    FreeSession(lpSession);
}
