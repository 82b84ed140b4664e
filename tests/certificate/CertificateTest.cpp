// The relay's server certificate: what a new one holds, when an existing one is
// kept byte for byte, when it is replaced, and how its key file is kept private.
#include "LuaFixture.h"
#include "OpenSslHandles.h"

#include <grp.h>
#include <openssl/pem.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kwatest;
using Kwa::EvpPkeyPtr;
using Kwa::FilePtr;
using Kwa::X509Ptr;

namespace {

X509Ptr LoadCertificate(const std::string& path) {
    FilePtr file(fopen(path.c_str(), "rb"));
    return X509Ptr(file ? PEM_read_X509(file.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::string NameOf(X509_NAME* name) {
    Kwa::OpenSslString text(X509_NAME_oneline(name, nullptr, 0));
    return text ? text.get() : "";
}

struct CertificateRecipe {
    const char* commonName;
    int bits; // 0: an EC key
    long notBeforeOffset, notAfterOffset;
};

// Writes a self-issued certificate (and its key) as another program would.
void WriteCertificate(const std::string& certPath, const std::string& keyPath,
                      const CertificateRecipe& recipe) {
    EvpPkeyPtr key(recipe.bits == 0
                       ? EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")
                       : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(recipe.bits)));
    ASSERT_TRUE(key);
    X509Ptr x(X509_new());
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 7);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), recipe.notBeforeOffset);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), recipe.notAfterOffset);
    X509_set_pubkey(x.get(), key.get());
    X509_NAME* name = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(recipe.commonName), -1, -1,
                               0);
    X509_set_issuer_name(x.get(), name);
    ASSERT_GT(X509_sign(x.get(), key.get(), EVP_sha256()), 0);
    FilePtr cert(fopen(certPath.c_str(), "wb"));
    FilePtr keyFile(fopen(keyPath.c_str(), "wb"));
    ASSERT_TRUE(cert && keyFile);
    PEM_write_X509(cert.get(), x.get());
    PEM_write_PrivateKey(keyFile.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
}

} // namespace

class Certificate : public LuaFixture {
protected:
    std::string CertPath() const { return WorkDir() + "/kw_relay.pem"; }
    std::string KeyPath() const { return WorkDir() + "/kw_relay.key"; }
    // Error lines that hold this text.
    int Errors(const std::string& text) const {
        int lines = 0;
        for (const auto& record : LogMessages())
            lines += record.level == 1 && ToUtf8(record.message).find(text) != std::string::npos;
        return lines;
    }
};

TEST_F(Certificate, ANewCertificateHasItsFieldsAndIsKeptOrReplaced) {
    NewRelay();
    X509Ptr x = LoadCertificate(CertPath());
    ASSERT_TRUE(x);
    EXPECT_EQ(X509_get_signature_nid(x.get()), NID_sha256WithRSAEncryption);
    EXPECT_EQ(NameOf(X509_get_subject_name(x.get())), "/CN=Kestrel Ward Relay");
    EXPECT_EQ(NameOf(X509_get_issuer_name(x.get())), "/CN=Kestrel Ward Relay");
    int days = 0, seconds = 0;
    ASSERT_TRUE(
        ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(x.get()), X509_get0_notAfter(x.get())));
    EXPECT_EQ(days * 86400LL + seconds, 153792000LL);
    EXPECT_LE(X509_cmp_current_time(X509_get0_notBefore(x.get())), 0);
    EVP_PKEY* pub = X509_get0_pubkey(x.get());
    EXPECT_EQ(EVP_PKEY_get_bits(pub), 2048);
    EXPECT_EQ(X509_verify(x.get(), pub), 1); // self-signed
    // The key loads without a pass phrase, matches, and only its owner may read it.
    FilePtr keyFile(fopen(KeyPath().c_str(), "rb"));
    EvpPkeyPtr key(PEM_read_PrivateKey(keyFile.get(), nullptr, nullptr, (void*)""));
    ASSERT_TRUE(key);
    EXPECT_EQ(EVP_PKEY_eq(key.get(), pub), 1);
    EXPECT_EQ(FileMode(KeyPath()), 0600u);

    // Kept byte for byte; a kept key that every user could read is made private.
    const std::string cert = ReadFile(CertPath()), keyText = ReadFile(KeyPath());
    chmod(KeyPath().c_str(), 0644);
    Run("again = SLB.RelayServer()");
    EXPECT_EQ(ReadFile(CertPath()), cert);
    EXPECT_EQ(ReadFile(KeyPath()), keyText);
    EXPECT_EQ(FileMode(KeyPath()), 0600u);

    // The relay's own: replaced when out of date, weak or not RSA; another's when out of date.
    const struct {
        const char* name;
        CertificateRecipe recipe;
        bool kept;
    } cases[] = {
        {"expired", {"Kestrel Ward Relay", 2048, -7200, -3600}, false},
        {"not yet valid", {"Kestrel Ward Relay", 2048, 3600, 7200}, false},
        {"1024-bit", {"Kestrel Ward Relay", 1024, -60, 3600}, false},
        {"4096-bit", {"Kestrel Ward Relay", 4096, -60, 3600}, true},
        {"EC key", {"Kestrel Ward Relay", 0, -60, 3600}, false},
        {"foreign EC", {"Somebody Else", 0, -60, 3600}, true},
        {"foreign 1024-bit", {"Other CA", 1024, -60, 3600}, true},
        {"foreign expired", {"Other CA", 2048, -7200, -3600}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteCertificate(CertPath(), KeyPath(), c.recipe);
        const std::string cert = ReadFile(CertPath()), key = ReadFile(KeyPath());
        Run("again = SLB.RelayServer()");
        EXPECT_EQ(ReadFile(CertPath()) == cert && ReadFile(KeyPath()) == key, c.kept);
        EXPECT_EQ(ReadFile(CertPath()) != cert && ReadFile(KeyPath()) != key &&
                      LoadCertificate(CertPath()) != nullptr,
                  !c.kept);
        EXPECT_FALSE(HasLog(1, "CRelayServer::MakeCertificate() - Failed"));
    }
}

// Unreadable: replaced, the error logged; half a pair: overwritten, never through a
// link; a failed write removes both.
TEST_F(Certificate, BrokenPairsAndFailedWrites) {
    NewRelay();
    WriteFile(CertPath(), "this is not a certificate\n");
    const std::string key = ReadFile(KeyPath());
    KwaCore::Host::ClearRecords();
    Run("again = SLB.RelayServer()");
    EXPECT_TRUE(HasLog(1, "Load certificate fail"));
    EXPECT_TRUE(LoadCertificate(CertPath()));
    EXPECT_NE(ReadFile(KeyPath()), key);
    EXPECT_EQ(Errors("CRelayServer::MakeCertificate() - OpenSSL "), 1);

    unlink(KeyPath().c_str());
    WriteFile(CertPath(), "garbage");
    KwaCore::Host::ClearRecords();
    Run("again = SLB.RelayServer()");
    EXPECT_FALSE(HasLog(1, "Load certificate fail"));
    EXPECT_TRUE(LoadCertificate(CertPath()));
    EXPECT_TRUE(FileExists(KeyPath()));
    for (const std::string& linked : {KeyPath(), CertPath()}) {
        SCOPED_TRACE(linked);
        WriteFile(Home() + "/target", "not to be written");
        unlink(KeyPath().c_str()), unlink(CertPath().c_str());
        ASSERT_EQ(symlink((Home() + "/target").c_str(), linked.c_str()), 0);
        Run("again = SLB.RelayServer()");
        EXPECT_EQ(ReadFile(Home() + "/target"), "not to be written");
        EXPECT_FALSE(IsSymlink(linked));
        EXPECT_NE(ReadFile(linked).find("-----BEGIN"), std::string::npos);
        EXPECT_EQ(FileMode(KeyPath()), 0600u);
    }

    unlink(CertPath().c_str());
    unlink(KeyPath().c_str());
    MakeDirs(CertPath(), 0700); // the certificate cannot be opened for writing
    KwaCore::Host::ClearRecords();
    Run("again = SLB.RelayServer()");
    EXPECT_FALSE(FileExists(KeyPath()));
    EXPECT_TRUE(HasLog(1, "CRelayServer::MakeCertificate() - Failed"));
    EXPECT_EQ(Errors("CRelayServer::MakeCertificate() cert - "), 1);
}

// A kept key of another owner, read by an unprivileged agent: one error line names it.
TEST_F(Certificate, AKeptKeyOfAnotherOwnerIsNamedInOneErrorLine) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the key to another owner";
    NewRelay();
    ASSERT_EQ(RunCommand("chown -R 65534:65534 " + ShellQuote(Home())).exitCode, 0);
    ASSERT_EQ(chown(KeyPath().c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(KeyPath().c_str(), 0644), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0)
            _exit(2);
        KwaCore::Host::ClearRecords();
        Try("again = SLB.RelayServer()");
        _exit(Errors("Private key " + KeyPath() + " (owner root, mode 0644)") == 1 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
