#include "TlsProbe.h"

#include "OpenSslHandles.h"
#include "UniqueFd.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace Agent {

namespace {

using Certificate = Kwa::X509Ptr;
using Bio = Kwa::BioPtr;
using SslCtx = Kwa::SslCtxPtr;
using Ssl = Kwa::SslPtr;
using File = Kwa::FilePtr;

// Texts of the queued OpenSSL errors, oldest first; the queue is left empty.
std::string OpenSslErrors() {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty())
            text += "; ";
        text += buffer;
    }
    return text;
}

std::string NameText(const X509_NAME* name) {
    if (name == nullptr)
        return std::string();
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio)
        return std::string();
    // RFC 2253 order and escaping, but UTF-8 kept as it is.
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return size > 0 && data != nullptr ? std::string(data, static_cast<size_t>(size))
                                       : std::string();
}

std::string TimeText(const ASN1_TIME* time) {
    struct tm parts {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1)
        return std::string();
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string Fingerprint(const X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1)
        return std::string();
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        if (i > 0)
            text += ':';
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

bool Loopback(const std::string& address) {
    return address == "127.0.0.1" || address == "::1";
}

long MillisecondsSince(std::chrono::steady_clock::time_point begin) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - begin)
                                 .count());
}

// Waits for the socket to become ready for events; false on a timeout or an error.
bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return false;
        struct pollfd entry {};
        entry.fd = fd;
        entry.events = events;
        const int ready = ::poll(&entry, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0;
    }
}

} // namespace

CertificateFacts DescribeCertificate(X509* certificate) {
    CertificateFacts facts;
    if (certificate == nullptr) {
        facts.error = "no certificate";
        return facts;
    }
    facts.read = true;
    facts.subject = NameText(X509_get_subject_name(certificate));
    facts.issuer = NameText(X509_get_issuer_name(certificate));
    facts.notBefore = TimeText(X509_get0_notBefore(certificate));
    facts.notAfter = TimeText(X509_get0_notAfter(certificate));
    int days = 0;
    int seconds = 0;
    if (ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(certificate)) == 1) {
        facts.daysLeft = days;
        facts.expired = days < 0 || (days == 0 && seconds <= 0);
    }
    facts.notYetValid = X509_cmp_current_time(X509_get0_notBefore(certificate)) >= 0;
    facts.sha256 = Fingerprint(certificate);
    if (EVP_PKEY* key = X509_get0_pubkey(certificate)) {
        const char* type = EVP_PKEY_get0_type_name(key);
        facts.key = std::string(type != nullptr ? type : "unknown") + " " +
                    std::to_string(EVP_PKEY_get_bits(key)) + " bits";
    }
    ERR_clear_error();
    return facts;
}

CertificateFacts ReadCertificateFile(const std::string& path) {
    CertificateFacts facts;
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        facts.error = std::strerror(errno);
        return facts;
    }
    Certificate certificate(PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
    if (!certificate) {
        const std::string reason = OpenSslErrors();
        facts.error = "no PEM certificate" + (reason.empty() ? std::string() : " (" + reason + ")");
        return facts;
    }
    return DescribeCertificate(certificate.get());
}

HandshakeResult Handshake(const std::string& address, int port, int timeoutMs) {
    HandshakeResult result;
    result.address = address;
    result.port = port;
    const auto begin = std::chrono::steady_clock::now();
    const auto deadline = begin + std::chrono::milliseconds(timeoutMs);
    if (!Loopback(address)) {
        result.error = address + " is not a loopback address";
        return result;
    }
    if (port < 1 || port > 65535) {
        result.error = "no valid port";
        return result;
    }

    sockaddr_storage storage{};
    socklen_t length = 0;
    const bool v6 = address == "::1";
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        a->sin6_addr = in6addr_loopback;
        length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *a;
    }
    Kwa::UniqueFd socket(
        ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.Get() < 0) {
        result.error = std::string("socket: ") + std::strerror(errno);
        return result;
    }
    if (::connect(socket.Get(), reinterpret_cast<sockaddr*>(&storage), length) != 0) {
        if (errno != EINPROGRESS) {
            result.error = std::string("connect: ") + std::strerror(errno);
            return result;
        }
        if (!WaitFor(socket.Get(), POLLOUT, deadline)) {
            result.error = "connect: timed out";
            return result;
        }
        int error = 0;
        socklen_t size = sizeof error;
        getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0) {
            result.error = std::string("connect: ") + std::strerror(error);
            return result;
        }
    }

    ERR_clear_error();
    SslCtx context(SSL_CTX_new(TLS_client_method()));
    if (!context) {
        result.error = "TLS context: " + OpenSslErrors();
        return result;
    }
    // Whatever the relay offers is reported, old protocols and weak keys included.
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_security_level(context.get(), 0);
    SSL_CTX_set_min_proto_version(context.get(), 0);
    Ssl ssl(SSL_new(context.get()));
    if (!ssl || SSL_set_fd(ssl.get(), socket.Get()) != 1) {
        result.error = "TLS session: " + OpenSslErrors();
        return result;
    }
    SSL_set_tlsext_host_name(ssl.get(), "localhost");
    for (;;) {
        const int done = SSL_connect(ssl.get());
        if (done == 1)
            break;
        const int error = SSL_get_error(ssl.get(), done);
        const int saved = errno;
        bool ready = false;
        if (error == SSL_ERROR_WANT_READ)
            ready = WaitFor(socket.Get(), POLLIN, deadline);
        else if (error == SSL_ERROR_WANT_WRITE)
            ready = WaitFor(socket.Get(), POLLOUT, deadline);
        if (ready)
            continue;
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            result.error = "handshake: timed out";
        } else {
            std::string reason = OpenSslErrors();
            if (reason.empty())
                reason = error == SSL_ERROR_SYSCALL && saved != 0
                             ? std::string(std::strerror(saved))
                             : std::string("the server closed the connection");
            result.error = "handshake: " + reason;
        }
        ERR_clear_error();
        result.milliseconds = MillisecondsSince(begin);
        return result;
    }
    result.ok = true;
    result.protocol = SSL_get_version(ssl.get());
    const char* cipher = SSL_get_cipher_name(ssl.get());
    result.cipher = cipher != nullptr ? cipher : "";
    Certificate presented(SSL_get1_peer_certificate(ssl.get()));
    result.presented = DescribeCertificate(presented.get());
    result.milliseconds = MillisecondsSince(begin);
    SSL_shutdown(ssl.get()); // one close_notify; the answer is not awaited
    ERR_clear_error();
    return result;
}

} // namespace Agent
