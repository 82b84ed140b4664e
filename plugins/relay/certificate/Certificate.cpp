// The relay's self-signed server certificate: kept while it is good, otherwise a
// new RSA key and certificate are made.
#include "../server/RelayServer.h"
#include "../server/Trace.h"
#include "OpenSslHandles.h"
#include "PrivateFiles.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <wx/filefn.h>
#include <wx/wxcrtvararg.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace Relay {

namespace {

using Kwa::EvpPkeyPtr;
using Kwa::FilePtr;
using Kwa::OpenSslString;
using Kwa::X509Ptr;

const char* const MakeFunction = "Relay::CRelayServer::MakeCertificate";
const char* const CheckFunction = "Relay::CRelayServer::CheckCertificate";

constexpr int KeyBits = 2048;
constexpr long ValiditySeconds = 153792000; // 1,780 days
const char* const CommonName = "Kestrel Ward Relay";
const char* const IssuerMarker = "/CN=Kestrel Ward Relay";

FilePtr OpenFile(const wxString& path, const char* mode) {
    return FilePtr(wxFopen(path, mode));
}

// A self-signed certificate for key, valid from now for ValiditySeconds. Null
// when it cannot be made or signed.
X509Ptr BuildCertificate(EVP_PKEY* key) {
    X509Ptr certificate(X509_new());
    if (!certificate)
        return nullptr;
    X509* x = certificate.get();
    // One clock reading for both ends, so the period is exact.
    time_t now = std::time(nullptr);
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 0);
    X509_time_adj_ex(X509_getm_notBefore(x), 0, 0, &now);
    X509_time_adj_ex(X509_getm_notAfter(x), 0, ValiditySeconds, &now);
    X509_set_pubkey(x, key);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(CommonName), -1, -1, 0);
    X509_set_issuer_name(x, name);
    if (X509_sign(x, key, EVP_sha256()) <= 0)
        return nullptr;
    return certificate;
}

// Reports every error queued on this thread's OpenSSL error queue, oldest first.
void DrainOpenSslErrors() {
    // Bounded, in case an error could not be taken off the queue.
    for (int reported = 0; ERR_peek_error() != 0 && reported < 1000; ++reported)
        RS_LOG_ERROR(MakeFunction, "CRelayServer::MakeCertificate() - OpenSSL %.128s",
                     KwaCore::OpenSSLError());
    ERR_clear_error();
}

} // namespace

bool CRelayServer::MakeCertificate() {
    if (wxFileExists(SslKeyPath) && wxFileExists(SslCertPath)) {
        // A key that is kept ends readable by its owner alone; a link standing
        // for the key cannot be made so, and the pair is made afresh.
        if (CheckCertificate() && Certificate::KeepPrivate(SslKeyPath, MakeFunction)) {
            RS_LOG_VERBOSE(MakeFunction, "Certificate already exist. No need to create again.");
            return true;
        }
        wxRemoveFile(SslCertPath);
        wxRemoveFile(SslKeyPath);
    }
    RS_TRACE(MakeFunction, "RelayServer::MakeCertificate()");

    bool result = false;
    {
        FilePtr keyFile;
        FilePtr certFile;
        EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(KeyBits)));
        X509Ptr certificate;
        do {
            if (!key)
                break;
            keyFile = Certificate::CreateFresh(SslKeyPath);
            if (!keyFile) {
                const int error = errno;
                RS_LOG_ERROR(MakeFunction, "CRelayServer::MakeCertificate() key - %.128s: %.128s",
                             SslKeyPath, KwaCore::ErrnoToString(error));
                break;
            }
            KwaCore::SecureFileOrDirectory(SslKeyPath, false);
            if (!PEM_write_PrivateKey(keyFile.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                      nullptr))
                break;
            if (std::fclose(keyFile.release()) != 0)
                break;

            certificate = BuildCertificate(key.get());
            if (!certificate)
                break;

            certFile = Certificate::CreateFresh(SslCertPath);
            if (!certFile) {
                const int error = errno;
                RS_LOG_ERROR(MakeFunction, "CRelayServer::MakeCertificate() cert - %.128s: %.128s",
                             SslCertPath, KwaCore::ErrnoToString(error));
                break;
            }
            KwaCore::SecureFileOrDirectory(SslCertPath, false);
            if (PEM_write_X509(certFile.get(), certificate.get()))
                result = std::fclose(certFile.release()) == 0;
        } while (false);

        DrainOpenSslErrors();
    } // the key, the certificate and any file still open are released here

    if (!result) {
        RS_LOG_ERROR(MakeFunction, "CRelayServer::MakeCertificate() - Failed");
        wxRemoveFile(SslCertPath);
        wxRemoveFile(SslKeyPath);
    }
    return result;
}

bool CRelayServer::CheckCertificate() {
    X509Ptr certificate;
    {
        FilePtr file = OpenFile(SslCertPath, "rb");
        if (!file) {
            const int error = errno;
            RS_LOG_ERROR(CheckFunction, "Read certificate file fail (%s) errorno: %.128s",
                         SslCertPath, KwaCore::ErrnoToString(error));
            return false;
        }
        KwaCore::SecureFileOrDirectory(SslCertPath, false);
        certificate.reset(PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
    }
    if (!certificate) {
        RS_LOG_ERROR(CheckFunction, "Load certificate fail");
        return false;
    }
    if (X509_cmp_current_time(X509_get0_notBefore(certificate.get())) >= 0)
        return false;
    if (X509_cmp_current_time(X509_get0_notAfter(certificate.get())) <= 0)
        return false;

    const OpenSslString issuer(
        X509_NAME_oneline(X509_get_issuer_name(certificate.get()), nullptr, 0));
    if (!issuer || issuer.get()[0] == '\0')
        return false;
    if (std::strstr(issuer.get(), IssuerMarker) == nullptr)
        return true; // not made by the relay: kept whatever its key

    const EVP_PKEY* key = X509_get0_pubkey(certificate.get());
    if (key == nullptr) {
        RS_LOG_ERROR(CheckFunction, "Load certificate fail");
        return false;
    }
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        RS_LOG_ERROR(CheckFunction, "Certificate is not RSA key");
        return false;
    }
    const int bits = EVP_PKEY_get_bits(key);
    RS_LOG_VERBOSE(CheckFunction, "Current RSA Key is %d bits (Expected %d bits)", bits, KeyBits);
    return bits >= KeyBits;
}

} // namespace Relay
