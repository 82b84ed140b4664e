// The upload service: answers nginx's FastCGI requests for the /data/ location.
#pragma once

#include "UploadStore.h"

#include <atomic>
#include <string>

namespace Kwvp {

// The FastCGI parameters the service reads.
struct UploadRequest {
    std::string method;      // REQUEST_METHOD
    std::string uri;         // URI: nginx's $uri, decoded and normalised
    std::string contentFile; // CONTENT_FILE: the request-body file, may be empty
    std::string verified;    // VERIFIED: "SUCCESS" or nginx's client verification result
};

struct UploadResponse {
    int status = 500;
    std::string headers; // extra header lines, each ending in "\r\n"
};

// Decides and carries out one request. PUT and POST store the body (201), GET and
// HEAD hand the file to nginx with X-Accel-Redirect (200), DELETE removes it (204).
// 403 when the client is not verified, 405 for other methods, 400 for a path that
// is not acceptable, 404 when nothing is stored there, 409 when a directory is in
// the way, 500 when a file operation fails. The caller drains the body afterwards
// and discards the body file when it is still there.
UploadResponse HandleRequest(UploadStore& store, const UploadRequest& request,
                             const BodyReader& body);

// The whole response text for FastCGI: status line, headers, blank line, body.
std::string FormatResponse(const UploadResponse& response);

// Listens on 127.0.0.1:port (close-on-exec); -1 with the reason in error on failure.
int OpenLoopbackListener(int port, std::string& error);

// Serves FastCGI on 127.0.0.1:port with a few worker threads. The listener is
// opened on a thread of its own, retried every second while the port is taken, so
// that nginx is not held up by it.
class UploadServer {
public:
    UploadServer(const std::string& webRoot, int port, int threads = 4);
    UploadServer(const UploadServer&) = delete;
    UploadServer& operator=(const UploadServer&) = delete;

    // Starts serving in the background; the threads run for the life of the process.
    void Start();
    // Requests being handled right now.
    int Busy() const { return busy_.load(); }

private:
    void Listen();
    void Work(int listenFd);

    UploadStore store_;
    int port_;
    int threads_;
    std::atomic<int> busy_{0};
};

} // namespace Kwvp
