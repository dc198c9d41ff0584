// SChannel on a service check's socket. Nothing here blocks in a read: every
// wait is a select within the check's limit, so a stalled server costs the
// limit and no more.
#include "checks/tls.h"

#define SECURITY_WIN32
#include <security.h>
#include <wincrypt.h>
#include <schannel.h>

#include <cstring>
#include <initializer_list>

#include "platform/text.h"

namespace {

constexpr ULONG Requests =
    ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;
// The SSL policy's own switches (wininet.h), for the trust and name facts.
constexpr DWORD IgnoreRevocation = 0x80, IgnoreUnknownCa = 0x100, IgnoreWrongUsage = 0x200,
                IgnoreDateInvalid = 0x2000;
// What a TLS server's first record starts with: a handshake or an alert.
constexpr char HandshakeRecord = 0x16, AlertRecord = 0x15;
// fill's answer when nothing came within the limit.
constexpr int NothingInTime = -1;

// The crypt32 calls, in the order of their names below.
struct CryptCalls {
    decltype(&CertGetCertificateChain) get_chain;
    decltype(&CertVerifyCertificateChainPolicy) verify_policy;
    decltype(&CertFreeCertificateChain) free_chain;
    decltype(&CertFreeCertificateContext) free_certificate;
    decltype(&CertGetNameStringA) get_name;
};
const char* const CryptNames[] = {"CertGetCertificateChain", "CertVerifyCertificateChainPolicy",
                                  "CertFreeCertificateChain", "CertFreeCertificateContext", "CertGetNameStringA"};
static_assert(sizeof(CryptCalls) == sizeof CryptNames);

struct Session {
    PSecurityFunctionTableA sspi;
    CryptCalls crypt;
    CredHandle credentials;
    CtxtHandle context;
    SecPkgContext_StreamSizes sizes;
    // The buffer holds plain decrypted bytes not yet read, then received
    // bytes of the server's records; plain is 0 while records arrive.
    int plain;
    int received;
    char buffer[TlsRecordSize];
};
static_assert(sizeof(Session) <= sizeof(TlsSession) && alignof(Session) <= alignof(TlsSession));

Session& session(TlsSession& room)
{
    return *reinterpret_cast<Session*>(room.room);
}

// Once loaded, secur32 and crypt32 stay: the first chain check imports the
// root certificates, which every later check reuses.
HMODULE library(const char* name)
{
    HMODULE module = GetModuleHandleA(name);
    return module ? module : LoadLibraryA(name);
}

int load_calls(Session& tls)
{
    HMODULE secur32 = GetModuleHandleA("secur32.dll"), crypt32 = GetModuleHandleA("crypt32.dll");
    if (!secur32 || !crypt32)
        return 0;
    auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_A>(
        reinterpret_cast<void*>(GetProcAddress(secur32, "InitSecurityInterfaceA")));
    tls.sspi = init ? init() : nullptr;
    for (size_t i = 0; i < sizeof CryptNames / sizeof *CryptNames; ++i) {
        FARPROC call = GetProcAddress(crypt32, CryptNames[i]);
        if (!call)
            return 0;
        memcpy(reinterpret_cast<char*>(&tls.crypt) + i * sizeof call, &call, sizeof call);
    }
    return tls.sspi != nullptr;
}

// Reads more of the server's records; what arrived, 0 when the server
// closed or the buffer is full, NothingInTime.
int fill(Session& tls, const ServiceLink& link)
{
    if (tls.received == TlsRecordSize)
        return 0;
    int ready = wait_for(link, false);
    if (ready == 0)
        return NothingInTime;
    int got = ready > 0 ? recv(link.socket, tls.buffer + tls.received, TlsRecordSize - tls.received, 0) : 0;
    if (got <= 0)
        return 0;
    tls.received += got;
    return got;
}

// One call into SChannel's side of the handshake or the close; the message
// it makes goes to the server at once.
SECURITY_STATUS step(Session& tls, const ServiceLink& link, CtxtHandle* context, SecBufferDesc* input, char* host)
{
    SecBuffer token = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc output = {SECBUFFER_VERSION, 1, &token};
    unsigned long granted;
    SECURITY_STATUS status = tls.sspi->InitializeSecurityContextA(&tls.credentials, context, host, Requests, 0, 0,
                                                                  input, 0, &tls.context, &output, &granted, nullptr);
    if (token.pvBuffer) {
        send_all(link, static_cast<char*>(token.pvBuffer), static_cast<int>(token.cbBuffer));
        tls.sspi->FreeContextBuffer(token.pvBuffer);
    }
    return status;
}

// Unix seconds of a certificate's time, 100 ns steps since 1601.
int64_t unix_seconds(const FILETIME& time)
{
    uint64_t steps = static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
    return static_cast<int64_t>(steps / 10000000) - INT64_C(11644473600);
}

// The SSL policy's verdict on the chain with the given faults ignored, and
// the name checked when one is given; 0 when it holds.
DWORD policy_error(const CryptCalls& crypt, PCCERT_CHAIN_CONTEXT chain, DWORD ignored, DWORD checks, wchar_t* name)
{
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = checks;
    ssl.pwszServerName = name;
    CERT_CHAIN_POLICY_PARA para = {sizeof para, ignored, &ssl};
    CERT_CHAIN_POLICY_STATUS status = {sizeof status, 0, 0, 0, nullptr};
    return crypt.verify_policy(CERT_CHAIN_POLICY_SSL, chain, &para, &status) ? status.dwError : 1;
}

// The leaf certificate's facts, whatever its trust. The chain is built from
// what the server sent and the local stores only: no check reaches the
// network.
void read_certificate(Session& tls, const char* host, CertificateInfo& info)
{
    const CryptCalls& crypt = tls.crypt;
    PCCERT_CONTEXT leaf = nullptr;
    if (tls.sspi->QueryContextAttributesA(&tls.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &leaf) != SEC_E_OK || !leaf)
        return;
    info.read = 1;
    info.not_before = unix_seconds(leaf->pCertInfo->NotBefore);
    info.not_after = unix_seconds(leaf->pCertInfo->NotAfter);
    char subject[SubjectSize];
    if (crypt.get_name(leaf, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), subject, sizeof subject) <= 1) {
        DWORD form = CERT_X500_NAME_STR;
        crypt.get_name(leaf, CERT_NAME_RDN_TYPE, 0, &form, subject, sizeof subject);
    }
    copy_printable(info.subject, sizeof info.subject, subject, strlen(subject));

    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (crypt.get_chain(nullptr, leaf, nullptr, leaf->hCertStore, &para, CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr,
                        &chain)) {
        // Expiry is a fact of its own. Wine's policy can pass a partial
        // chain, so the chain's own status has the last word.
        const DWORD any_date = CERT_CHAIN_POLICY_IGNORE_ALL_NOT_TIME_VALID_FLAGS | CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
        info.trusted = !(chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_PARTIAL_CHAIN) &&
                       policy_error(crypt, chain, any_date, IgnoreDateInvalid | IgnoreRevocation, nullptr) == 0;
        // The configured name, not the address: Wine matches no addresses.
        wchar_t name[ServiceNameSize];
        MultiByteToWideChar(CP_ACP, 0, host, -1, name, ServiceNameSize);
        info.name_matches =
            policy_error(crypt, chain,
                         any_date | CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG | CERT_CHAIN_POLICY_IGNORE_WRONG_USAGE_FLAG,
                         IgnoreDateInvalid | IgnoreRevocation | IgnoreUnknownCa | IgnoreWrongUsage, name) == 0;
        crypt.free_chain(chain);
    }
    crypt.free_certificate(leaf);
}

} // namespace

int tls_load(ServiceCheck& check)
{
    for (const char* name : {"secur32.dll", "crypt32.dll"})
        if (!library(name)) {
            check.missing = name;
            check.error = static_cast<int>(GetLastError());
            return 0;
        }
    return 1;
}

int tls_start(TlsSession& room, ServiceLink& link, ServiceCheck& check)
{
    Session& tls = session(room);
    if (!load_calls(tls)) {
        check.error = SEC_E_SECPKG_NOT_FOUND;
        return ServiceHandshakeFailed;
    }
    // Any certificate is read, whatever its trust: self-signed and private
    // ones are common and no fault of the service.
    SCHANNEL_CRED wanted{};
    wanted.dwVersion = SCHANNEL_CRED_VERSION;
    wanted.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    SECURITY_STATUS status =
        tls.sspi->AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                            &wanted, nullptr, nullptr, &tls.credentials, nullptr);
    SecPkgCred_SupportedProtocols offered{};
    check.lacks_tls13 = tls.sspi->QueryCredentialsAttributesA(&tls.credentials, SECPKG_ATTR_SUPPORTED_PROTOCOLS,
                                                              &offered) == SEC_E_OK &&
                        !(offered.grbitProtocol & SP_PROT_TLS1_3_CLIENT);
    char* host = check.target.host;
    if (status == SEC_E_OK)
        status = step(tls, link, nullptr, nullptr, host);
    int heard = 0, got = 0;
    while (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE ||
           status == SEC_I_INCOMPLETE_CREDENTIALS) {
        // More of the server's messages unless what is here is whole.
        if (status == SEC_E_INCOMPLETE_MESSAGE || (status == SEC_I_CONTINUE_NEEDED && tls.received == 0)) {
            got = fill(tls, link);
            if (got <= 0) {
                status = SEC_E_INCOMPLETE_MESSAGE;
                break;
            }
            // Plain text is known from its first byte, not waited out.
            if (!heard++ && tls.buffer[0] != HandshakeRecord && tls.buffer[0] != AlertRecord)
                return ServicePlainText;
        }
        SecBuffer in[2] = {{static_cast<unsigned long>(tls.received), SECBUFFER_TOKEN, tls.buffer},
                           {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc input = {SECBUFFER_VERSION, 2, in};
        status = step(tls, link, &tls.context, &input, host);
        // A call that asks for more, or for credentials, takes the same
        // input again; otherwise what it left is the next message.
        if (status != SEC_E_INCOMPLETE_MESSAGE && status != SEC_I_INCOMPLETE_CREDENTIALS) {
            int extra = in[1].BufferType == SECBUFFER_EXTRA ? static_cast<int>(in[1].cbBuffer) : 0;
            memmove(tls.buffer, tls.buffer + tls.received - extra, extra);
            tls.received = extra;
        }
    }
    if (status != SEC_E_OK) {
        check.error = status;
        return got == NothingInTime ? ServiceHandshakeTimedOut : ServiceHandshakeFailed;
    }
    tls.sspi->QueryContextAttributesA(&tls.context, SECPKG_ATTR_STREAM_SIZES, &tls.sizes);
    link.tls = &room;
    read_certificate(tls, host, check.certificate);
    return ServiceAnswered;
}

int tls_send(TlsSession& room, const ServiceLink& link, const char* text)
{
    Session& tls = session(room);
    const SecPkgContext_StreamSizes& sizes = tls.sizes;
    unsigned long size = strlen(text);
    char record[1024];
    if (sizes.cbHeader + size + sizes.cbTrailer > sizeof record)
        return 0;
    memcpy(record + sizes.cbHeader, text, size);
    SecBuffer parts[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                          {size, SECBUFFER_DATA, record + sizes.cbHeader},
                          {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes.cbHeader + size},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message = {SECBUFFER_VERSION, 4, parts};
    return tls.sspi->EncryptMessage(&tls.context, 0, &message, 0) == SEC_E_OK &&
           send_all(link, record, static_cast<int>(parts[0].cbBuffer + parts[1].cbBuffer + parts[2].cbBuffer));
}

int tls_receive(TlsSession& room, const ServiceLink& link, char* data, int size)
{
    Session& tls = session(room);
    for (;;) {
        // What the last record held beyond the last read comes first.
        if (tls.plain > 0) {
            int got = tls.plain < size ? tls.plain : size;
            memcpy(data, tls.buffer, got);
            tls.plain -= got;
            memmove(tls.buffer, tls.buffer + got, tls.plain + tls.received);
            return got;
        }
        if (tls.received > 0) {
            SecBuffer parts[4] = {{static_cast<unsigned long>(tls.received), SECBUFFER_DATA, tls.buffer},
                                  {0, SECBUFFER_EMPTY, nullptr},
                                  {0, SECBUFFER_EMPTY, nullptr},
                                  {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc message = {SECBUFFER_VERSION, 4, parts};
            SECURITY_STATUS status = tls.sspi->DecryptMessage(&tls.context, &message, 0, nullptr);
            // A close_notify, a renegotiation or data that does not decrypt
            // all end the talk.
            if (status != SEC_E_OK && status != SEC_E_INCOMPLETE_MESSAGE)
                return 0;
            if (status == SEC_E_OK) {
                // The record was decrypted in place: its data goes to the
                // front, the next records' bytes behind it.
                int plain = 0, extra = 0;
                for (const SecBuffer& part : parts) {
                    if (part.BufferType == SECBUFFER_DATA) {
                        plain = static_cast<int>(part.cbBuffer);
                        memmove(tls.buffer, part.pvBuffer, plain);
                    } else if (part.BufferType == SECBUFFER_EXTRA) {
                        extra = static_cast<int>(part.cbBuffer);
                    }
                }
                memmove(tls.buffer + plain, tls.buffer + tls.received - extra, extra);
                tls.plain = plain;
                tls.received = extra;
                continue;
            }
        }
        if (fill(tls, link) <= 0)
            return 0;
    }
}

void tls_end(TlsSession& room, const ServiceLink& link)
{
    Session& tls = session(room);
    if (!tls.sspi)
        return;
    if (link.tls) {
        DWORD shutdown = SCHANNEL_SHUTDOWN;
        SecBuffer token = {sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
        SecBufferDesc control = {SECBUFFER_VERSION, 1, &token};
        if (tls.sspi->ApplyControlToken(&tls.context, &control) == SEC_E_OK)
            step(tls, link, &tls.context, nullptr, nullptr);
    }
    // Handles that were never made only fail to be freed.
    tls.sspi->DeleteSecurityContext(&tls.context);
    tls.sspi->FreeCredentialsHandle(&tls.credentials);
}
