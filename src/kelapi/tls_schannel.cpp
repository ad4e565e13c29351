// tls_schannel.cpp - the TLS layer over the system's Schannel (Windows).
//
// Schannel makes and reads the TLS records; the bytes go to and from the
// socket through the seam. Schannel is told to check nothing itself: not
// every Schannel checks what it is asked to (one accepted a chain whose CA
// was not trusted), so the library checks the certificate with crypt32: the
// chain built with the server's certificates and the CA file's, its end
// found in the CA file (or, without one, among the system's roots), every
// certificate within its dates, the SSL policy with the server name, and an
// IP address compared with the certificate's addresses by the library.
//
// TLS 1.2: the credentials structure that every Windows takes offers no
// newer version.
// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <wincrypt.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <stdio.h>
#include <string.h>

#include "tls.h"

namespace {

// Room for received records: the largest a TLS 1.2 peer may send, header
// and expansion included, and a handshake flight to go with it.
const DWORD kcbReceiveBuffer = 5 + 16384 + 2048 + 16384;

}  // namespace

struct KelTlsContext {
    HCERTSTORE hCAStore;  // the CA file's certificates; null: the system's roots
};

struct KelTlsSession {
    KelTlsWire wire;
    CredHandle hCred;
    CtxtHandle hCtx;
    bool bCred, bCtx;
    bool bBroken;  // a fatal error: no goodbye any more
    SecPkgContext_StreamSizes sizes;
    // Received bytes, cbIn of them in lpIn. Once a record is decrypted in
    // place, lpPlain and cbPlain are its plaintext not handed out yet, and
    // the last cbRest bytes of lpIn the records that came after it.
    uint8_t *lpIn;
    DWORD cbIn;
    bool bDecrypted;
    uint8_t *lpPlain;
    DWORD cbPlain, cbRest;
    uint8_t *lpOut;  // one record to send: header, data, trailer
    DWORD cbOut;
    const char *szVersion;
};

namespace {

// ---- Words for the reasons

void SystemText(DWORD dwError, char *szText, size_t nSize) {
    DWORD dwLen = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwError,
                                 0, szText, (DWORD)nSize, nullptr);
    while (dwLen && (szText[dwLen - 1] == '\r' || szText[dwLen - 1] == '\n' || szText[dwLen - 1] == ' '))
        --dwLen;
    if (dwLen)
        szText[dwLen] = '\0';
    else
        snprintf(szText, nSize, "error 0x%08lX", (unsigned long)dwError);
}

void DateText(const FILETIME *lpTime, char *szDate, size_t nSize) {
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(lpTime, &st)) {
        snprintf(szDate, nSize, "?");
        return;
    }
    snprintf(szDate, nSize, "%04u-%02u-%02u %02u:%02u:%02u UTC", st.wYear, st.wMonth, st.wDay, st.wHour,
             st.wMinute, st.wSecond);
}

void CommonName(PCCERT_CONTEXT lpCert, char *szName, size_t nSize) {
    if (!CertGetNameStringA(lpCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, szName, (DWORD)nSize))
        szName[0] = '\0';
}

// The certificate's subject alternative names, or null; LocalFree it.
CERT_ALT_NAME_INFO *AltNames(PCCERT_CONTEXT lpCert) {
    PCERT_EXTENSION lpExt = CertFindExtension(szOID_SUBJECT_ALT_NAME2, lpCert->pCertInfo->cExtension,
                                              lpCert->pCertInfo->rgExtension);
    CERT_ALT_NAME_INFO *lpNames = nullptr;
    DWORD cbNames = 0;
    if (!lpExt ||
        !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, lpExt->Value.pbData, lpExt->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &lpNames, &cbNames))
        return nullptr;
    return lpNames;
}

// The DNS names and IP addresses of the certificate, else its common name.
void CertificateNames(PCCERT_CONTEXT lpCert, char *szNames, size_t nSize) {
    szNames[0] = '\0';
    CERT_ALT_NAME_INFO *lpNames = AltNames(lpCert);
    for (DWORD i = 0; lpNames && i < lpNames->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY &entry = lpNames->rgAltEntry[i];
        char szText[KEL_TLS_NAME_SIZE] = "";
        if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
            WideCharToMultiByte(CP_UTF8, 0, entry.pwszDNSName, -1, szText, sizeof szText, nullptr, nullptr);
        } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
            int nFamily = entry.IPAddress.cbData == 4 ? AF_INET : entry.IPAddress.cbData == 16 ? AF_INET6 : 0;
            if (!nFamily || !InetNtopA(nFamily, entry.IPAddress.pbData, szText, sizeof szText)) continue;
        } else {
            continue;
        }
        KelTlsAppendName(szNames, nSize, szText);
    }
    if (lpNames) LocalFree(lpNames);
    if (!szNames[0]) CommonName(lpCert, szNames, nSize);
}

// Whether the certificate carries the IP address among its alternative names.
bool CarriesAddress(PCCERT_CONTEXT lpCert, const char *szAddress) {
    uint8_t abAddress[16];
    DWORD cbAddress = strchr(szAddress, ':') ? 16 : 4;
    if (InetPtonA(cbAddress == 16 ? AF_INET6 : AF_INET, szAddress, abAddress) != 1) return false;
    CERT_ALT_NAME_INFO *lpNames = AltNames(lpCert);
    bool bFound = false;
    for (DWORD i = 0; lpNames && i < lpNames->cAltEntry && !bFound; ++i) {
        const CERT_ALT_NAME_ENTRY &entry = lpNames->rgAltEntry[i];
        bFound = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == cbAddress &&
                 memcmp(entry.IPAddress.pbData, abAddress, cbAddress) == 0;
    }
    if (lpNames) LocalFree(lpNames);
    return bFound;
}

// ---- The CA file

// The PEM certificates of a file's text into a memory store; their number.
int AddPemCertificates(HCERTSTORE hStore, const char *szText, size_t nLen) {
    static const char kszBegin[] = "-----BEGIN CERTIFICATE-----", kszEnd[] = "-----END CERTIFICATE-----";
    int nAdded = 0;
    for (const char *p = szText, *pEnd = szText + nLen;;) {
        const char *pBegin = strstr(p, kszBegin);
        const char *pStop = pBegin ? strstr(pBegin, kszEnd) : nullptr;
        if (!pStop || pStop > pEnd) break;
        pStop += sizeof kszEnd - 1;
        DWORD cbDer = 0;
        if (CryptStringToBinaryA(pBegin, (DWORD)(pStop - pBegin), CRYPT_STRING_BASE64HEADER, nullptr, &cbDer,
                                 nullptr, nullptr)) {
            BYTE *lpDer = static_cast<BYTE *>(g_KelPlatform.pfnAlloc(cbDer));
            if (lpDer &&
                CryptStringToBinaryA(pBegin, (DWORD)(pStop - pBegin), CRYPT_STRING_BASE64HEADER, lpDer,
                                     &cbDer, nullptr, nullptr) &&
                CertAddEncodedCertificateToStore(hStore, X509_ASN_ENCODING, lpDer, cbDer,
                                                 CERT_STORE_ADD_USE_EXISTING, nullptr))
                ++nAdded;
            if (lpDer) g_KelPlatform.pfnFree(lpDer);
        }
        p = pStop;
    }
    return nAdded;
}

// The file's whole text with a NUL after it, from the seam's heap; null with the reason.
char *ReadWholeFile(const char *szPath, size_t *lpnLen, char szReason[KEL_TLS_REASON_SIZE]) {
    HANDLE hFile = CreateFileA(szPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size;
    char *szText = nullptr;
    DWORD dwError = 0;
    if (hFile == INVALID_HANDLE_VALUE || !GetFileSizeEx(hFile, &size)) {
        dwError = GetLastError();
    } else if (size.QuadPart > 16 * 1024 * 1024) {
        dwError = ERROR_FILE_TOO_LARGE;
    } else if ((szText = static_cast<char *>(g_KelPlatform.pfnAlloc((size_t)size.QuadPart + 1))) != nullptr) {
        DWORD dwRead = 0;
        if (!ReadFile(hFile, szText, (DWORD)size.QuadPart, &dwRead, nullptr)) dwError = GetLastError();
        szText[dwRead] = '\0';
        *lpnLen = dwRead;
    } else {
        dwError = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (hFile != INVALID_HANDLE_VALUE) CloseHandle(hFile);
    if (!dwError) return szText;
    if (szText) g_KelPlatform.pfnFree(szText);
    char szSystem[160];
    SystemText(dwError, szSystem, sizeof szSystem);
    KelTlsFormat(szReason, "the TLS CA file %s cannot be used: %s", szPath, szSystem);
    return nullptr;
}

// ---- The certificate checks

struct Verdict {
    KelTlsRefusal refusal;
    bool bRefused;
    PCCERT_CONTEXT lpConcerned;  // the certificate the refusal is about
    char szDetail[64];
};

// The chain must end at a self-signed CA that the CA file holds, or
// without a CA file at one of the system's roots.
bool AnchorTrusted(const CERT_SIMPLE_CHAIN *lpChain, HCERTSTORE hCAStore) {
    const CERT_CHAIN_ELEMENT *lpEnd = lpChain->rgpElement[lpChain->cElement - 1];
    if (!(lpEnd->TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED)) return false;
    if (!hCAStore)
        return !(lpChain->TrustStatus.dwErrorStatus &
                 (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN));
    PCCERT_CONTEXT lpFound = CertFindCertificateInStore(hCAStore, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                                        lpEnd->pCertContext, nullptr);
    if (lpFound) CertFreeCertificateContext(lpFound);
    return lpFound != nullptr;
}

Verdict CheckChain(const CERT_CHAIN_CONTEXT *lpChainContext, HCERTSTORE hCAStore, uint32_t dwMode,
                   const char *szName, PCCERT_CONTEXT lpLeaf) {
    Verdict verdict = {KelTlsRefusal::Other, true, lpLeaf, ""};
    const CERT_SIMPLE_CHAIN *lpChain = lpChainContext->rgpChain[0];
    if (!AnchorTrusted(lpChain, hCAStore)) {
        verdict.refusal = KelTlsRefusal::NotTrusted;
        return verdict;
    }
    for (DWORD i = 0; i < lpChain->cElement; ++i) {
        const CERT_CHAIN_ELEMENT *lpElement = lpChain->rgpElement[i];
        LONG nTime = CertVerifyTimeValidity(nullptr, lpElement->pCertContext->pCertInfo);
        if (nTime == 0) continue;
        verdict.refusal = nTime > 0 ? KelTlsRefusal::Expired : KelTlsRefusal::NotYetValid;
        verdict.lpConcerned = lpElement->pCertContext;
        return verdict;
    }
    // The anchor was found above; a CA of the CA file is no system root.
    DWORD dwAllowed = hCAStore ? CERT_TRUST_IS_UNTRUSTED_ROOT : 0;
    DWORD dwErrors = lpChain->TrustStatus.dwErrorStatus & ~dwAllowed &
                     ~(DWORD)(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    if (dwErrors) {
        snprintf(verdict.szDetail, sizeof verdict.szDetail, "chain error 0x%08lX", (unsigned long)dwErrors);
        return verdict;
    }
    bool bAddress = KelTlsIsAddress(szName);
    wchar_t wszName[KEL_TLS_NAME_SIZE];
    bool bCheckName = dwMode == KEL_TLS_VERIFY_FULL && !bAddress;
    if (bCheckName && !MultiByteToWideChar(CP_UTF8, 0, szName, -1, wszName, KEL_TLS_NAME_SIZE))
        wszName[0] = 0;
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
    memset(&ssl, 0, sizeof ssl);
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = bCheckName ? wszName : nullptr;
    CERT_CHAIN_POLICY_PARA para;
    memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    para.dwFlags = hCAStore ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    para.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status;
    memset(&status, 0, sizeof status);
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, lpChainContext, &para, &status)) {
        snprintf(verdict.szDetail, sizeof verdict.szDetail, "the SSL policy could not be checked");
        return verdict;
    }
    if ((LONG)status.dwError == CERT_E_CN_NO_MATCH ||
        (dwMode == KEL_TLS_VERIFY_FULL && bAddress && !CarriesAddress(lpLeaf, szName))) {
        verdict.refusal = KelTlsRefusal::OtherName;
        return verdict;
    }
    if (status.dwError) {
        snprintf(verdict.szDetail, sizeof verdict.szDetail, "policy error 0x%08lX",
                 (unsigned long)status.dwError);
        return verdict;
    }
    verdict.bRefused = false;
    return verdict;
}

void RefusalReason(const Verdict &verdict, const char *szName, PCCERT_CONTEXT lpLeaf,
                   char szReason[KEL_TLS_REASON_SIZE]) {
    char szSubject[KEL_TLS_NAME_SIZE], szDate[40] = "", szNames[KEL_TLS_REASON_SIZE] = "";
    CommonName(verdict.lpConcerned, szSubject, sizeof szSubject);
    const CERT_INFO *lpInfo = verdict.lpConcerned->pCertInfo;
    if (verdict.refusal == KelTlsRefusal::Expired) DateText(&lpInfo->NotAfter, szDate, sizeof szDate);
    if (verdict.refusal == KelTlsRefusal::NotYetValid) DateText(&lpInfo->NotBefore, szDate, sizeof szDate);
    if (verdict.refusal == KelTlsRefusal::OtherName) CertificateNames(lpLeaf, szNames, sizeof szNames);
    KelTlsRefusalReason(verdict.refusal, szName, szSubject, szDate, szNames, verdict.szDetail, szReason);
}

// 0, or 101 with the reason: the server's certificate as the mode demands.
int32_t VerifyServer(KelTlsSession *lpSession, const KelTls *lpTls, const char *szName,
                     char szReason[KEL_TLS_REASON_SIZE]) {
    PCCERT_CONTEXT lpLeaf = nullptr;
    if (QueryContextAttributesA(&lpSession->hCtx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &lpLeaf) != SEC_E_OK ||
        !lpLeaf) {
        KelTlsRefusalReason(KelTlsRefusal::NoCertificate, szName, nullptr, nullptr, nullptr, nullptr,
                            szReason);
        return KEL_ERR_NOT_CONNECTED;
    }
    HCERTSTORE hCAStore = lpTls->lpContext->hCAStore;
    HCERTSTORE hExtra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (hExtra && lpLeaf->hCertStore) CertAddStoreToCollection(hExtra, lpLeaf->hCertStore, 0, 0);
    if (hExtra && hCAStore) CertAddStoreToCollection(hExtra, hCAStore, 0, 0);
    LPSTR aszUsage[] = {(LPSTR)szOID_PKIX_KP_SERVER_AUTH};
    CERT_CHAIN_PARA para;
    memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = aszUsage;
    PCCERT_CHAIN_CONTEXT lpChain = nullptr;
    int32_t nRc = KEL_ERR_NOT_CONNECTED;
    if (!hExtra || !CertGetCertificateChain(nullptr, lpLeaf, nullptr, hExtra, &para, 0, nullptr, &lpChain) ||
        !lpChain->cChain || !lpChain->rgpChain[0]->cElement) {
        KelTlsFormat(szReason, "the server's certificate chain cannot be built");
    } else {
        Verdict verdict = CheckChain(lpChain, hCAStore, lpTls->dwMode, szName, lpLeaf);
        if (verdict.bRefused)
            RefusalReason(verdict, szName, lpLeaf, szReason);
        else
            nRc = KEL_OK;
    }
    if (lpChain) CertFreeCertificateChain(lpChain);
    if (hExtra) CertCloseStore(hExtra, 0);
    CertFreeCertificateContext(lpLeaf);
    return nRc;
}

// ---- Handshake

// Sends a token Schannel made, and gives it back.
bool SendToken(KelTlsSession *lpSession, SecBuffer *lpToken) {
    bool bSent = true;
    if (lpToken->pvBuffer && lpToken->cbBuffer)
        bSent = KelTlsWireSend(&lpSession->wire, lpToken->pvBuffer, (int)lpToken->cbBuffer) ==
                (int)lpToken->cbBuffer;
    if (lpToken->pvBuffer) FreeContextBuffer(lpToken->pvBuffer);
    lpToken->pvBuffer = nullptr;
    return bSent;
}

// Receives more bytes behind those waiting in lpIn; false at the end of the
// stream, on failure, or with the buffer full.
bool ReceiveMore(KelTlsSession *lpSession) {
    if (lpSession->cbIn >= kcbReceiveBuffer) return false;
    int nGot = KelTlsWireRecv(&lpSession->wire, lpSession->lpIn + lpSession->cbIn,
                              (int)(kcbReceiveBuffer - lpSession->cbIn));
    if (nGot <= 0) return false;
    lpSession->cbIn += (DWORD)nGot;
    return true;
}

// Keeps the bytes Schannel did not use at the start of lpIn.
void KeepExtra(KelTlsSession *lpSession, const SecBuffer &extra) {
    if (extra.BufferType != SECBUFFER_EXTRA || !extra.cbBuffer) {
        lpSession->cbIn = 0;
        return;
    }
    memmove(lpSession->lpIn, lpSession->lpIn + lpSession->cbIn - extra.cbBuffer, extra.cbBuffer);
    lpSession->cbIn = extra.cbBuffer;
}

// SEC_E_OK once the handshake is done; the bytes that came after it stay in lpIn.
SECURITY_STATUS RunHandshake(KelTlsSession *lpSession, const char *szTarget) {
    const DWORD dwWanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                           ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                           ISC_REQ_MANUAL_CRED_VALIDATION;
    SECURITY_STATUS status;
    for (bool bFirst = true;; bFirst = false) {
        SecBuffer aIn[2] = {{lpSession->cbIn, SECBUFFER_TOKEN, lpSession->lpIn},
                            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, aIn};
        SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &out};
        ULONG ulGranted = 0;
        status = InitializeSecurityContextA(
            &lpSession->hCred, bFirst ? nullptr : &lpSession->hCtx, const_cast<SEC_CHAR *>(szTarget),
            dwWanted, 0, 0, bFirst ? nullptr : &inDesc, 0, bFirst ? &lpSession->hCtx : nullptr, &outDesc,
            &ulGranted, nullptr);
        if (bFirst) lpSession->bCtx = status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK;
        // A failure may come with an alert for the peer: it goes out too.
        if (!SendToken(lpSession, &out) && !FAILED(status)) return SEC_E_INTERNAL_ERROR;
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            if (!ReceiveMore(lpSession)) return SEC_E_INCOMPLETE_MESSAGE;
            continue;
        }
        if (FAILED(status)) return status;
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) continue;  // asked for ours: it goes on without
        if (!bFirst) KeepExtra(lpSession, aIn[1]);
        if (status == SEC_E_OK) return status;
        if (status != SEC_I_CONTINUE_NEEDED) return SEC_E_INTERNAL_ERROR;
        if (!lpSession->cbIn && !ReceiveMore(lpSession)) return SEC_E_INCOMPLETE_MESSAGE;
    }
}

void FreeSession(KelTlsSession *lpSession) {
    if (lpSession->bCtx) DeleteSecurityContext(&lpSession->hCtx);
    if (lpSession->bCred) FreeCredentialsHandle(&lpSession->hCred);
    if (lpSession->lpOut) {
        KelSecureZero(lpSession->lpOut, lpSession->cbOut);
        g_KelPlatform.pfnFree(lpSession->lpOut);
    }
    KelSecureZero(lpSession, sizeof *lpSession + kcbReceiveBuffer);
    g_KelPlatform.pfnFree(lpSession);
}

const char *VersionName(DWORD dwProtocol) {
    if (dwProtocol & SP_PROT_TLS1_3_CLIENT) return "TLSv1.3";
    if (dwProtocol & SP_PROT_TLS1_2_CLIENT) return "TLSv1.2";
    return "unknown";
}

}  // namespace

// ---- Context

int32_t KelTlsContextNew(const KelTls *lpTls, KelTlsContext **lppContext,
                         char szReason[KEL_TLS_REASON_SIZE]) {
    KelTlsContext *lpContext = static_cast<KelTlsContext *>(g_KelPlatform.pfnAlloc(sizeof(KelTlsContext)));
    if (!lpContext) {
        KelTlsFormat(szReason, "no memory for the TLS settings");
        return KEL_ERR_NOT_CONNECTED;
    }
    lpContext->hCAStore = nullptr;
    if (lpTls->szCAFile) {
        size_t nLen = 0;
        char *szText = ReadWholeFile(lpTls->szCAFile, &nLen, szReason);
        int nAdded = 0;
        if (szText) {
            lpContext->hCAStore = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
            if (lpContext->hCAStore) nAdded = AddPemCertificates(lpContext->hCAStore, szText, nLen);
            g_KelPlatform.pfnFree(szText);
            if (!nAdded)
                KelTlsFormat(szReason, "the TLS CA file %s cannot be used: it holds no PEM certificate",
                             lpTls->szCAFile);
        }
        if (!nAdded) {
            KelTlsContextFree(lpContext);
            return KEL_ERR_NOT_CONNECTED;
        }
    }
    *lppContext = lpContext;
    return KEL_OK;
}

void KelTlsContextFree(KelTlsContext *lpContext) {
    if (!lpContext) return;
    if (lpContext->hCAStore) CertCloseStore(lpContext->hCAStore, 0);
    KelSecureZero(lpContext, sizeof *lpContext);
    g_KelPlatform.pfnFree(lpContext);
}

// ---- Session

int32_t KelTlsSessionStart(KelTls *lpTls, KelSocket hSocket, const char *szName,
                           char szReason[KEL_TLS_REASON_SIZE]) {
    KelTlsSession *lpSession =
        static_cast<KelTlsSession *>(g_KelPlatform.pfnAlloc(sizeof(KelTlsSession) + kcbReceiveBuffer));
    if (!lpSession) {
        KelTlsFormat(szReason, "no memory for a TLS session");
        return KEL_ERR_NOT_CONNECTED;
    }
    memset(lpSession, 0, sizeof *lpSession);
    KelTlsWireInit(&lpSession->wire, hSocket, lpTls);
    lpSession->lpIn = reinterpret_cast<uint8_t *>(lpSession + 1);

    SCHANNEL_CRED cred;
    memset(&cred, 0, sizeof cred);
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    SECURITY_STATUS status =
        AcquireCredentialsHandleA(nullptr, const_cast<SEC_CHAR *>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                  nullptr, &cred, nullptr, nullptr, &lpSession->hCred, nullptr);
    lpSession->bCred = status == SEC_E_OK;
    // An address is no server name for the handshake: none is sent for it.
    if (lpSession->bCred)
        status = RunHandshake(lpSession, *szName && !KelTlsIsAddress(szName) ? szName : nullptr);
    int32_t nRc = KEL_ERR_NOT_CONNECTED;
    if (status != SEC_E_OK) {
        char szDetail[160];
        SystemText((DWORD)status, szDetail, sizeof szDetail);
        KelTlsWireReason(&lpSession->wire, szDetail, szReason);
    } else if (lpTls->dwMode < KEL_TLS_VERIFY_CA ||
               (nRc = VerifyServer(lpSession, lpTls, szName, szReason)) == KEL_OK) {
        SecPkgContext_ConnectionInfo info;
        bool bSized = QueryContextAttributesA(&lpSession->hCtx, SECPKG_ATTR_STREAM_SIZES,
                                              &lpSession->sizes) == SEC_E_OK;
        lpSession->cbOut =
            lpSession->sizes.cbHeader + lpSession->sizes.cbMaximumMessage + lpSession->sizes.cbTrailer;
        lpSession->lpOut =
            bSized ? static_cast<uint8_t *>(g_KelPlatform.pfnAlloc(lpSession->cbOut)) : nullptr;
        lpSession->szVersion =
            QueryContextAttributesA(&lpSession->hCtx, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK
                ? VersionName(info.dwProtocol)
                : "unknown";
        nRc = lpSession->lpOut ? KEL_OK : KEL_ERR_NOT_CONNECTED;
        if (nRc != KEL_OK) KelTlsFormat(szReason, "no memory for a TLS session");
    }
    if (nRc != KEL_OK) {
        lpSession->bBroken = true;
        FreeSession(lpSession);
        return nRc;
    }
    lpTls->lpSession = lpSession;
    return KEL_OK;
}

const char *KelTlsSessionVersion(const KelTlsSession *lpSession) { return lpSession->szVersion; }

const KelTlsWire *KelTlsSessionWire(const KelTlsSession *lpSession) { return &lpSession->wire; }

// One record per cbMaximumMessage bytes, each sent whole; all but the last
// held back, and the last too when the caller sends more at once.
int KelTlsSessionSend(KelTlsSession *lpSession, const void *lpData, int nLen, int bMore) {
    const uint8_t *lpBytes = static_cast<const uint8_t *>(lpData);
    const SecPkgContext_StreamSizes &sizes = lpSession->sizes;
    for (int nDone = 0; nDone < nLen;) {
        DWORD cbChunk =
            (DWORD)(nLen - nDone) < sizes.cbMaximumMessage ? (DWORD)(nLen - nDone) : sizes.cbMaximumMessage;
        memcpy(lpSession->lpOut + sizes.cbHeader, lpBytes + nDone, cbChunk);
        SecBuffer aBuffers[4] = {
            {sizes.cbHeader, SECBUFFER_STREAM_HEADER, lpSession->lpOut},
            {cbChunk, SECBUFFER_DATA, lpSession->lpOut + sizes.cbHeader},
            {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, lpSession->lpOut + sizes.cbHeader + cbChunk},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, aBuffers};
        nDone += (int)cbChunk;
        lpSession->wire.bMore = nDone < nLen || bMore;
        bool bSent = EncryptMessage(&lpSession->hCtx, 0, &desc, 0) == SEC_E_OK;
        if (bSent) {
            int nRecord = (int)(aBuffers[0].cbBuffer + aBuffers[1].cbBuffer + aBuffers[2].cbBuffer);
            bSent = KelTlsWireSend(&lpSession->wire, lpSession->lpOut, nRecord) == nRecord;
        }
        if (!bSent) {
            lpSession->bBroken = true;
            return -1;
        }
    }
    return nLen;
}

int KelTlsSessionRecv(KelTlsSession *lpSession, void *lpBuffer, int nLen) {
    while (!lpSession->cbPlain) {
        if (lpSession->bDecrypted) {  // that record is used up: keep what followed it
            memmove(lpSession->lpIn, lpSession->lpIn + lpSession->cbIn - lpSession->cbRest,
                    lpSession->cbRest);
            lpSession->cbIn = lpSession->cbRest;
            lpSession->cbRest = 0;
            lpSession->bDecrypted = false;
        }
        SecBuffer aBuffers[4] = {{lpSession->cbIn, SECBUFFER_DATA, lpSession->lpIn},
                                 {0, SECBUFFER_EMPTY, nullptr},
                                 {0, SECBUFFER_EMPTY, nullptr},
                                 {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, aBuffers};
        SECURITY_STATUS status =
            lpSession->cbIn ? DecryptMessage(&lpSession->hCtx, &desc, 0, nullptr) : SEC_E_INCOMPLETE_MESSAGE;
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            if (ReceiveMore(lpSession)) continue;
            bool bEnd = lpSession->cbIn < kcbReceiveBuffer && lpSession->wire.nLastRecv == 0;
            lpSession->bBroken = !bEnd;
            return bEnd ? 0 : -1;
        }
        if (status == SEC_I_CONTEXT_EXPIRED) return 0;  // the peer said goodbye
        if (status != SEC_E_OK) {                       // renegotiation included: the library offers none
            lpSession->bBroken = true;
            return -1;
        }
        lpSession->bDecrypted = true;
        for (const SecBuffer &buffer : aBuffers) {
            if (buffer.BufferType == SECBUFFER_DATA) {
                lpSession->lpPlain = static_cast<uint8_t *>(buffer.pvBuffer);
                lpSession->cbPlain = buffer.cbBuffer;
            } else if (buffer.BufferType == SECBUFFER_EXTRA) {
                lpSession->cbRest = buffer.cbBuffer;
            }
        }
    }
    int nTaken = (DWORD)nLen < lpSession->cbPlain ? nLen : (int)lpSession->cbPlain;
    memcpy(lpBuffer, lpSession->lpPlain, (size_t)nTaken);
    lpSession->lpPlain += nTaken;
    lpSession->cbPlain -= (DWORD)nTaken;
    return nTaken;
}

void KelTlsSessionEnd(KelTlsSession *lpSession) {
    if (!lpSession->bBroken) {
        DWORD dwShutdown = SCHANNEL_SHUTDOWN;
        SecBuffer control = {sizeof dwShutdown, SECBUFFER_TOKEN, &dwShutdown};
        SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, &control};
        SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &out};
        ULONG ulGranted = 0;
        lpSession->wire.bMore = 0;
        if (ApplyControlToken(&lpSession->hCtx, &controlDesc) == SEC_E_OK &&
            InitializeSecurityContextA(&lpSession->hCred, &lpSession->hCtx, nullptr,
                                       ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM, 0, 0, nullptr, 0, nullptr,
                                       &outDesc, &ulGranted, nullptr) == SEC_E_OK)
            SendToken(lpSession, &out);  // our goodbye; the peer's is not awaited
        else if (out.pvBuffer)
            FreeContextBuffer(out.pvBuffer);
    }
    FreeSession(lpSession);
}
