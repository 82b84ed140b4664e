// Listening, admitting peers and serving each connection of the upload service.
#include "UploadServer.h"

#include "FastCgi.h"
#include "UploadService.h"
#include "WebServerPeers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <thread>

namespace Kwvp {

namespace {

std::string PeerName(int fd) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return "unknown peer";
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

// Text from a request fit for one log line: control bytes as \xNN, at most 256 bytes.
std::string Printable(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text.substr(0, 256)) {
        if (c < 0x20 || c == 0x7f || c == '\\')
            out += std::string("\\x") + hex[c >> 4] + hex[c & 15];
        else
            out += static_cast<char>(c);
    }
    return out;
}

// Sends the stored file: exactly size bytes, or fails.
bool SendFile(FastCgiConnection& connection, int file, off_t size) {
    char buffer[64 * 1024];
    for (off_t at = 0; at < size;) {
        const ssize_t n = pread(file, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || !connection.Write(buffer, static_cast<size_t>(n)))
            return false;
        at += n;
    }
    return true;
}

} // namespace

int OpenLoopbackListener(int port, std::string& error) {
    if (port <= 0 || port > 65535) {
        error = "port " + std::to_string(port) + " out of range";
        return -1;
    }
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.Get(), SOMAXCONN) != 0) {
        error = "127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        return -1;
    }
    return fd.Release();
}

UploadServer::UploadServer(UploadStore& store, int port, PeerFilter allowed)
    : store_(store), port_(port), allowed_(std::move(allowed)) {}

void UploadServer::Start() {
    std::thread([this] { Run(); }).detach();
}

void UploadServer::Run() {
    UniqueFd listener;
    bool reported = false;
    while (true) {
        const bool want = enabled_;
        if (want && !listener.Valid()) {
            std::string error;
            listener.Reset(OpenLoopbackListener(port_, error));
            if (listener.Valid()) {
                LogError("serving uploads on 127.0.0.1:" + std::to_string(port_));
                reported = false;
            } else if (!reported) {
                LogError("cannot serve uploads on " + error + "; retrying");
                reported = true;
            }
        } else if (!want && listener.Valid()) {
            listener.Reset();
            LogError("closed 127.0.0.1:" + std::to_string(port_));
        }
        listening_ = listener.Valid();
        if (!listener.Valid()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(want ? 1000 : 100));
            continue;
        }
        pollfd p{listener.Get(), POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        const int fd = accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            Admit(fd);
    }
}

void UploadServer::Refuse(const std::string& line) {
    // A flood of connections must not become a flood of log lines: at most
    // kMaxRefusalLines a second; the first refusal of a later second says how many
    // were left out.
    const auto now = std::chrono::steady_clock::now();
    if (now - refusalWindow_ >= std::chrono::seconds(1)) {
        if (refusalsHidden_ > 0)
            LogError(std::to_string(refusalsHidden_) + " more FastCGI peers refused");
        refusalWindow_ = now;
        refusalLines_ = refusalsHidden_ = 0;
    }
    if (refusalLines_++ < kMaxRefusalLines)
        LogError("refused FastCGI peer " + line);
    else
        ++refusalsHidden_;
}

void UploadServer::Admit(int fd) {
    UniqueFd connection(fd);
    const std::string name = PeerName(fd);
    uid_t uid = 0;
    std::string error;
    if (!PeerSocketOwner(fd, uid, error))
        return Refuse(name + ": " + error);
    if (!allowed_(uid))
        return Refuse(name + ": uid " + std::to_string(uid) + " is not the web server's user");
    if (busy_ >= kMaxConnections)
        return Refuse(name + ": " + std::to_string(kMaxConnections) + " requests in progress");
    ++busy_;
    try {
        std::thread([this, fd, uid, name] {
            Serve(fd, uid, name);
            --busy_;
        }).detach();
        connection.Release(); // the thread closes it
    } catch (const std::exception& e) {
        --busy_;
        Refuse(name + ": " + e.what());
    }
}

void UploadServer::Serve(int fd, uid_t peer, const std::string& name) {
    const UniqueFd owned(fd);
    FastCgiConnection connection(fd, kIdleTimeout);
    const std::string who = name + " (uid " + std::to_string(peer) + ")";
    try {
        std::map<std::string, std::string> params;
        std::string error;
        if (!connection.ReadRequest(kRequestTimeout, params, error)) {
            LogError("dropped FastCGI peer " + who + ": " + error);
            return;
        }
        const UploadRequest request{params["REQUEST_METHOD"], params["URI"], params["CONTENT_FILE"],
                                    params["VERIFIED"], peer};
        const UploadResponse response =
            HandleRequest(store_, request, [&connection](char* buffer, size_t size) {
                return connection.ReadBody(buffer, size);
            });
        const std::string head = FormatResponse(response);
        if (response.status >= 400) // "Status: 403 Forbidden\r\n..."
            LogError("refused " + Printable(request.method + " " + request.uri) + " from " + who +
                     ": " + head.substr(8, head.find('\r') - 8));
        if (!connection.Write(head.data(), head.size()) ||
            (response.file.Valid() && !SendFile(connection, response.file.Get(), response.size)) ||
            !connection.End())
            LogError("dropped FastCGI peer " + who + ": the answer could not be sent");
    } catch (const std::exception& e) {
        LogError("request from " + who + " failed: " + e.what());
    }
}

} // namespace Kwvp
