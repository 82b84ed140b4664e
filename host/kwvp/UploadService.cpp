#include "UploadService.h"

#include "UploadPath.h"

#include <arpa/inet.h>
#include <fcgiapp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

namespace Kwvp {

namespace {

// nginx gives up on a request body after client_body_timeout (300 s); a body file
// this old belongs to no request in progress.
constexpr std::chrono::seconds kStaleBodyAge{3600};

const char* ReasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    default:
        return "Internal Server Error";
    }
}

int StatusOf(StoreResult result, int success) {
    switch (result) {
    case StoreResult::Ok:
        return success;
    case StoreResult::BadPath:
        return 400;
    case StoreResult::NotFound:
        return 404;
    case StoreResult::Conflict:
        return 409;
    case StoreResult::Failed:
        break;
    }
    return 500;
}

UploadResponse Status(int status, std::string headers = {}) {
    UploadResponse response;
    response.status = status;
    response.headers = std::move(headers);
    return response;
}

std::string Param(const FCGX_Request& request, const char* name) {
    const char* value = FCGX_GetParam(name, request.envp);
    return value != nullptr ? value : "";
}

// Reads what is left of the request body, so that nginx can finish sending it
// before the connection closes.
void DrainBody(FCGX_Stream* in) {
    char buffer[64 * 1024];
    while (FCGX_GetStr(buffer, sizeof buffer, in) > 0) {
    }
}

UploadResponse Decide(UploadStore& store, const UploadRequest& request, const BodyReader& body) {
    if (request.verified != "SUCCESS")
        return Status(403);
    const std::string& method = request.method;
    const bool get = method == "GET" || method == "HEAD";
    const bool put = method == "PUT" || method == "POST";
    if (!get && !put && method != "DELETE")
        return Status(405, "Allow: GET, HEAD, PUT, POST, DELETE\r\n");

    std::string path;
    std::vector<std::string> names;
    if (!StripDataPrefix(request.uri, path) || !SplitUploadPath(path, names))
        return Status(400);

    if (put)
        return Status(StatusOf(store.Put(names, request.contentFile, body), 201));
    if (method == "DELETE")
        return Status(StatusOf(store.Remove(names), 204));
    const int status = StatusOf(store.Find(names), 200);
    if (status != 200)
        return Status(status);
    return Status(200, "X-Accel-Redirect: /upload/store/" + EncodeUriPath(path) + "\r\n");
}

} // namespace

UploadResponse HandleRequest(UploadStore& store, const UploadRequest& request,
                             const BodyReader& body) {
    const UploadResponse response = Decide(store, request, body);
    // Whatever the answer: take the rest of the body, so that nginx can finish
    // sending it, and drop the body file unless it went into the store.
    char buffer[64 * 1024];
    while (body(buffer, sizeof buffer) > 0) {
    }
    store.DiscardBodyFile(request.contentFile);
    return response;
}

std::string FormatResponse(const UploadResponse& response) {
    const std::string reason = ReasonPhrase(response.status);
    std::string text = "Status: " + std::to_string(response.status) + " " + reason + "\r\n";
    text += response.headers;
    if (response.status == 204 || response.status == 200)
        return text + "\r\n";
    return text + "Content-Type: text/plain\r\n\r\n" + reason + "\n";
}

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

UploadServer::UploadServer(const std::string& webRoot, int port, int threads)
    : store_(webRoot), port_(port), threads_(threads) {}

void UploadServer::Start() {
    FCGX_Init();
    std::thread([this] { Listen(); }).detach();
}

void UploadServer::Listen() {
    std::string error;
    int fd = OpenLoopbackListener(port_, error);
    if (fd < 0) {
        LogError("cannot serve uploads on " + error + "; retrying");
        while ((fd = OpenLoopbackListener(port_, error)) < 0)
            std::this_thread::sleep_for(std::chrono::seconds(1));
        LogError("serving uploads on 127.0.0.1:" + std::to_string(port_));
    }
    // Bodies of requests that came while no upload service ran stay behind.
    store_.SweepBodyFiles(kStaleBodyAge);
    for (int i = 1; i < threads_; ++i)
        std::thread([this, fd] { Work(fd); }).detach();
    Work(fd);
}

void UploadServer::Work(int listenFd) {
    // Not every platform lets several threads wait in accept() on one socket.
    static std::mutex acceptLock;
    FCGX_Request request;
    FCGX_InitRequest(&request, listenFd, 0);
    while (true) {
        int accepted;
        {
            std::lock_guard<std::mutex> lock(acceptLock);
            accepted = FCGX_Accept_r(&request);
        }
        if (accepted < 0) {
            LogError("FastCGI accept failed (" + std::to_string(accepted) + ")");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        ++busy_;
        UploadRequest upload{Param(request, "REQUEST_METHOD"), Param(request, "URI"),
                             Param(request, "CONTENT_FILE"), Param(request, "VERIFIED")};
        UploadResponse response;
        try {
            FCGX_Stream* in = request.in;
            const BodyReader body = [in](char* buffer, size_t size) -> long {
                const int n =
                    FCGX_GetStr(buffer, static_cast<int>(std::min<size_t>(size, INT_MAX)), in);
                return n == 0 && FCGX_GetError(in) != 0 ? -1 : n;
            };
            response = HandleRequest(store_, upload, body);
        } catch (const std::exception& e) {
            LogError(std::string("request failed: ") + e.what());
            response = Status(500);
            DrainBody(request.in);
        }
        const std::string text = FormatResponse(response);
        FCGX_PutStr(text.data(), static_cast<int>(text.size()), request.out);
        FCGX_Finish_r(&request);
        --busy_;
    }
}

} // namespace Kwvp
