// IP versions, texts, the shutdown state, and non-ASCII paths through wx.
#include "HostTest.h"

#include <openssl/bio.h>
#include <wx/dir.h>
#include <wx/file.h>
#include <wx/filename.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <csignal>
#include <thread>

using KwaCore::CDom;
using KwaCore::CRunnable;
using kwatest::HostTest;
using kwatest::ToUtf8;
using Clock = std::chrono::steady_clock;

TEST_F(HostTest, IpVersionsCanBeOverriddenForTests) {
    const struct {
        const char* value;
        bool v4, v6;
    } cases[] = {{"6", false, true}, {" 6 , 4", true, true}, {"none", false, false}};
    for (const auto& c : cases) {
        setenv("KWA_IP_VERSIONS", c.value, 1);
        bool v4 = !c.v4, v6 = !c.v6;
        KwaCore::IpVersionsSupported(v4, v6);
        EXPECT_EQ(v4, c.v4) << c.value;
        EXPECT_EQ(v6, c.v6) << c.value;
    }
    unsetenv("KWA_IP_VERSIONS");
    bool probedV4 = false, probedV6 = false;
    KwaCore::IpVersionsSupported(probedV4, probedV6);
    EXPECT_TRUE(probedV4); // 127.0.0.1 exists wherever the tests run
    // Not understood: the probe decides.
    setenv("KWA_IP_VERSIONS", "4,x", 1);
    bool v4 = false, v6 = !probedV6;
    KwaCore::IpVersionsSupported(v4, v6);
    EXPECT_EQ(v4, probedV4);
    EXPECT_EQ(v6, probedV6);
    unsetenv("KWA_IP_VERSIONS");
}

TEST_F(HostTest, TextsOfErrorsAndNumbers) {
    EXPECT_EQ(ToUtf8(KwaCore::OpenSSLError()), "");
    BIO* missing = BIO_new_file("/nonexistent/file.pem", "r");
    ASSERT_EQ(missing, nullptr);
    const std::string first = ToUtf8(KwaCore::OpenSSLError());
    EXPECT_EQ(first.rfind("error:", 0), 0u) << first;
    int more = 0;
    while (!KwaCore::OpenSSLError().empty() && more < 10)
        ++more;
    EXPECT_LT(more, 10);

    EXPECT_EQ(ToUtf8(KwaCore::ErrnoToString(ENOENT)), "No such file or directory");
    EXPECT_EQ(ToUtf8(KwaCore::toString(LLONG_MAX)), "9223372036854775807");
    EXPECT_EQ(ToUtf8(KwaCore::toString(LLONG_MIN)), "-9223372036854775808");
}

TEST_F(HostTest, ShutdownIsAnsweredAtOnceAndCalledOffAgain) {
    CDom* dom = CDom::This();
    bool flag = true;
    EXPECT_FALSE(dom->ShouldExit(0, &flag));
    EXPECT_FALSE(flag);
    KwaCore::RequestShutdown(true);
    EXPECT_TRUE(dom->ShouldExit(0, &flag));
    EXPECT_TRUE(flag);
    CRunnable runnable;
    const auto start = Clock::now();
    EXPECT_TRUE(runnable.Wait(60000, nullptr));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));

    KwaCore::RequestShutdown(false);
    EXPECT_FALSE(dom->ShouldExit(0, nullptr));
    const auto waitStart = Clock::now();
    EXPECT_FALSE(runnable.Wait(50, &flag));
    EXPECT_FALSE(flag);
    EXPECT_GE(Clock::now() - waitStart, std::chrono::milliseconds(50));
}

TEST_F(HostTest, WaitsWakeWhenAnotherThreadOrASignalHandlerRequestsTheShutdown) {
    CRunnable runnable;
    std::thread requester([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        KwaCore::RequestShutdown(true);
    });
    auto start = Clock::now();
    EXPECT_TRUE(runnable.Wait(60000, nullptr));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    requester.join();
    KwaCore::RequestShutdown(false);

    struct sigaction action = {};
    action.sa_handler = [](int) { KwaCore::RequestShutdown(true); };
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
    std::thread signaller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(getpid(), SIGUSR1);
    });
    start = Clock::now();
    EXPECT_TRUE(CDom::This()->ShouldExit(60000, nullptr));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    signaller.join();
    signal(SIGUSR1, SIG_DFL);
}

TEST_F(HostTest, NonAsciiPathsWorkThroughWxInAProcessThatChoseNoLocale) {
    // gtest's main never calls setlocale: the core library chose UTF-8 for it.
    EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), "C.UTF-8");
    EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
    const std::string folder = Home() + "/Café Ünïcode";
    kwatest::WriteFile(folder + "/Grüße.txt", "hallo");
    const wxString wide = wxString::FromUTF8(folder);
    EXPECT_EQ(wxString(folder.c_str()), wide); // the default conversion is UTF-8 now
    EXPECT_TRUE(wxFileName::DirExists(wide));
    wxString name;
    wxDir dir(wide);
    ASSERT_TRUE(dir.GetFirst(&name));
    EXPECT_EQ(ToUtf8(name), "Grüße.txt");
    wxFile file(wide + "/" + name);
    ASSERT_TRUE(file.IsOpened());
    EXPECT_EQ(file.Length(), 5);
}
