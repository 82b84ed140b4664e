#include "LocalCa.h"

#include "OpenSslHandles.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace Agent {

namespace {

using Pkey = Kwa::EvpPkeyPtr;
using Certificate = Kwa::X509Ptr;
using Extension = Kwa::X509ExtensionPtr;
using Bignum = Kwa::BignumPtr;
using File = Kwa::FilePtr;

// The reason of the last OpenSSL failure, taken off the thread's error queue.
std::string OpenSslReason(const char* step) {
    std::string reason = step;
    const unsigned long code = ERR_get_error();
    if (code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        reason += ": ";
        reason += text;
    }
    ERR_clear_error();
    return reason;
}

std::string ErrnoReason(const char* step, const std::string& path) {
    return std::string(step) + " " + path + ": " + std::strerror(errno);
}

// Opens a new file for writing with the given mode; fails when it exists.
File CreateExclusive(const std::string& path, mode_t mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return File();
    FILE* file = fdopen(fd, "w");
    if (file == nullptr) {
        close(fd);
        return File();
    }
    return File(file);
}

// Writes through a temporary name and links the result into place, so that a
// reader never sees half a file and an existing file is never replaced.
template <typename Writer>
bool WriteNewFile(const std::string& path, mode_t mode, Writer write, std::string& error) {
    const std::string temporary = path + ".tmp";
    unlink(temporary.c_str());
    {
        File file = CreateExclusive(temporary, mode);
        if (!file) {
            error = ErrnoReason("cannot create", temporary);
            return false;
        }
        if (!write(file.get())) {
            error = OpenSslReason(("cannot write " + temporary).c_str());
            file.reset();
            unlink(temporary.c_str());
            return false;
        }
        if (fflush(file.get()) != 0 || fsync(fileno(file.get())) != 0) {
            error = ErrnoReason("cannot write", temporary);
            file.reset();
            unlink(temporary.c_str());
            return false;
        }
    }
    const bool linked = link(temporary.c_str(), path.c_str()) == 0;
    if (!linked)
        error = ErrnoReason("cannot create", path);
    unlink(temporary.c_str());
    return linked;
}

Pkey LoadOrMakeKey(const std::string& keyPath, std::string& error) {
    File existing(fopen(keyPath.c_str(), "re"));
    if (existing) {
        // A key left by an earlier attempt that did not get as far as the certificate.
        Pkey key(PEM_read_PrivateKey(existing.get(), nullptr, nullptr, nullptr));
        if (!key)
            error = OpenSslReason(("cannot read " + keyPath).c_str());
        return key;
    }
    Pkey key(EVP_EC_gen("P-256"));
    if (!key) {
        error = OpenSslReason("cannot generate the CA key");
        return key;
    }
    const bool written = WriteNewFile(
        keyPath, 0600,
        [&key](FILE* file) {
            return PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr) ==
                   1;
        },
        error);
    if (!written)
        key.reset();
    return key;
}

bool AddExtension(X509* certificate, X509V3_CTX* context, int nid, const char* value) {
    Extension extension(X509V3_EXT_conf_nid(nullptr, context, nid, value));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

bool AddName(X509_NAME* name, const char* field, const char* value) {
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char*>(value), -1, -1,
                                      0) == 1;
}

Certificate BuildCertificate(EVP_PKEY* key, std::string& error) {
    Certificate certificate(X509_new());
    if (!certificate) {
        error = OpenSslReason("cannot make the CA certificate");
        return certificate;
    }
    X509* c = certificate.get();
    bool ok = X509_set_version(c, 2) == 1;

    unsigned char serial[16];
    ok = ok && RAND_bytes(serial, sizeof serial) == 1;
    serial[0] &= 0x7f; // a positive serial number
    Bignum number(ok ? BN_bin2bn(serial, sizeof serial, nullptr) : nullptr);
    ok = ok && number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(c)) != nullptr;

    // Valid from an hour ago (clock skew) for ten years.
    ok = ok && X509_gmtime_adj(X509_getm_notBefore(c), -3600) != nullptr;
    ok = ok && X509_gmtime_adj(X509_getm_notAfter(c), 10L * 365 * 24 * 3600) != nullptr;

    X509_NAME* name = X509_get_subject_name(c);
    ok = ok && AddName(name, "O", "kwagent");
    ok = ok && AddName(name, "CN", "kwagent local management CA");
    ok = ok && X509_set_issuer_name(c, name) == 1;
    ok = ok && X509_set_pubkey(c, key) == 1;

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, c, c, nullptr, nullptr, 0);
    ok = ok && AddExtension(c, &context, NID_basic_constraints, "critical,CA:TRUE");
    ok = ok && AddExtension(c, &context, NID_key_usage, "critical,keyCertSign,cRLSign");
    ok = ok && AddExtension(c, &context, NID_subject_key_identifier, "hash");
    ok = ok && X509_sign(c, key, EVP_sha256()) > 0;
    if (!ok) {
        error = OpenSslReason("cannot make the CA certificate");
        certificate.reset();
    }
    return certificate;
}

} // namespace

bool MakeLocalCa(const std::string& certPath, const std::string& keyPath, std::string& error) {
    struct stat st;
    if (stat(certPath.c_str(), &st) == 0) {
        error = certPath + " exists already";
        return false;
    }
    // The core library's work directory is only named by the core library; the
    // CA is the first thing in it. nginx's master reads the CA file.
    const std::filesystem::path directory = std::filesystem::path(certPath).parent_path();
    if (!directory.empty() && stat(directory.c_str(), &st) != 0) {
        std::error_code ec;
        std::filesystem::create_directories(directory, ec);
        if (ec) {
            error = "cannot create " + directory.string() + ": " + ec.message();
            return false;
        }
        chmod(directory.c_str(), 0711);
    }

    Pkey key = LoadOrMakeKey(keyPath, error);
    if (!key)
        return false;
    Certificate certificate = BuildCertificate(key.get(), error);
    if (!certificate)
        return false;
    // A CA certificate is public: readable by all, like any installed CA.
    return WriteNewFile(
        certPath, 0644,
        [&certificate](FILE* file) { return PEM_write_X509(file, certificate.get()) == 1; }, error);
}

} // namespace Agent
