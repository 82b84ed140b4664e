// Shared pieces of the web server configuration tests: a relay object made in
// this process (so its members can be set directly), a fake nginx that records
// its arguments, and a line helper.
#pragma once

#include "LuaFixture.h"

#include "server/RelayServer.h"
#include "webserver/Fips.h"

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace kwatest {

class WebServerTest : public LuaFixture {
protected:
    void SetUp() override {
        LuaFixture::SetUp();
        KwaCore::Host::SetTraceComponent(L"RS", true);
    }
    void TearDown() override {
        Relay::WebServer::SetFipsQuery(nullptr);
        server_.reset();
        LuaFixture::TearDown();
    }
    // The relay object of this process, made on first use under this test's KWA_HOME.
    Relay::CRelayServer& Server() {
        if (!server_)
            server_ = std::make_unique<Relay::CRelayServer>();
        return *server_;
    }
    static void SetFips(bool on) {
        Relay::WebServer::SetFipsQuery(on ? +[] { return true; } : +[] { return false; });
    }

    // A program standing in for nginx: appends its arguments, each as [arg], as
    // one line to <home>/fake-nginx.sh.calls, prints output and exits with exitCode.
    std::string FakeNginx(int exitCode = 0, const std::string& output = "") {
        const std::string path = Home() + "/fake-nginx.sh";
        WriteFile(path,
                  "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done >> \"$0.calls\"\n"
                  "echo >> \"$0.calls\"\nprintf '%s' " +
                      ShellQuote(output) + "\nexit " + std::to_string(exitCode) + "\n");
        RunCommand("chmod 755 " + ShellQuote(path));
        return path;
    }
    std::string FakeCalls() const { return ReadFile(Home() + "/fake-nginx.sh.calls"); }

    // The events with this id, as (text) strings.
    std::vector<std::string> EventTexts(int id) const {
        std::vector<std::string> texts;
        for (const auto& event : EventsWithId(id))
            texts.push_back(ToUtf8(event.text));
        return texts;
    }

private:
    std::unique_ptr<Relay::CRelayServer> server_;
};

// The lines strictly between the first line equal to after and the next line
// equal to before.
inline std::vector<std::string> Between(const std::string& text, const std::string& after,
                                        const std::string& before) {
    std::istringstream lines(text);
    std::vector<std::string> section;
    std::string line;
    while (std::getline(lines, line) && line != after) {
    }
    while (std::getline(lines, line) && line != before)
        section.push_back(line);
    return lines ? section : std::vector<std::string>{"<section not found>"};
}

} // namespace kwatest
