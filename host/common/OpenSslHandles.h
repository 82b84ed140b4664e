// Owning handles for OpenSSL objects and C files, so that every path frees what
// it took.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

namespace Kwa {

// A deleter that hands the pointer to the library's own free function.
template <auto Free> struct FreeWith {
    template <typename T> void operator()(T* p) const { Free(p); }
};

// OPENSSL_free is a macro that records the caller's file and line.
struct OpenSslFree {
    void operator()(char* text) const { OPENSSL_free(text); }
};
struct FileClose {
    void operator()(FILE* file) const { std::fclose(file); }
};

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, FreeWith<&EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, FreeWith<&X509_free>>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, FreeWith<&X509_EXTENSION_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, FreeWith<&BN_free>>;
using BioPtr = std::unique_ptr<BIO, FreeWith<&BIO_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, FreeWith<&SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, FreeWith<&SSL_free>>;
using OpenSslString = std::unique_ptr<char, OpenSslFree>;
using FilePtr = std::unique_ptr<FILE, FileClose>;

} // namespace Kwa
