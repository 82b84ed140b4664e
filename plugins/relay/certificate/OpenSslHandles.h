// Owning handles for OpenSSL objects and C files, so that every path frees what
// it took.
#pragma once

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>

namespace Relay {

struct EvpPkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Deleter {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct OpenSslStringDeleter {
    void operator()(char* text) const { OPENSSL_free(text); }
};
struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyDeleter>;
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using OpenSslString = std::unique_ptr<char, OpenSslStringDeleter>;
using FilePtr = std::unique_ptr<FILE, FileCloser>;

} // namespace Relay
