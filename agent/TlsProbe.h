// What a certificate says, from a PEM file or from a TLS server's handshake.
// kwagent status uses both: the relay's certificate file and what nginx presents.
#pragma once

#include <string>

typedef struct x509_st X509;

namespace Agent {

struct CertificateFacts {
    bool read = false;   // a certificate was read
    std::string error;   // why not, when read is false
    std::string subject; // RFC 2253 form, e.g. "CN=Kestrel Ward Relay"
    std::string issuer;
    std::string notBefore; // UTC, ISO 8601 ("2024-05-01T10:00:00Z")
    std::string notAfter;
    long long daysLeft = 0; // whole days until notAfter; negative once expired
    bool expired = false;
    bool notYetValid = false;
    std::string sha256; // colon-separated upper-case hex, as agents pin it
    std::string key;    // e.g. "RSA 2048 bits"
};

CertificateFacts DescribeCertificate(X509* certificate);
// The first certificate of a PEM file.
CertificateFacts ReadCertificateFile(const std::string& path);

struct HandshakeResult {
    std::string address; // 127.0.0.1 or ::1
    int port = 0;
    bool ok = false;
    std::string error;
    std::string protocol; // e.g. "TLSv1.3"
    std::string cipher;
    CertificateFacts presented;
    long milliseconds = 0;
};

// A TLS handshake with the server on address:port, which must be a loopback
// address (127.0.0.1 or ::1; anything else is refused without any traffic). The
// chain is not verified: the result tells what was presented. The whole exchange
// ends after timeoutMs at the latest.
HandshakeResult Handshake(const std::string& address, int port, int timeoutMs);

} // namespace Agent
