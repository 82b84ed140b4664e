// Deciding what a request does to the store, and the answer's header text.
#include "UploadService.h"

#include "UploadPath.h"

namespace Kwvp {

namespace {

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
    case 507:
        return "Insufficient Storage";
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
    case StoreResult::NoSpace:
        return 507;
    case StoreResult::BadBody:
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
        return Status(StatusOf(store.Put(names, request.contentFile, request.peer, body), 201));
    if (method == "DELETE")
        return Status(StatusOf(store.Remove(names), 204));
    UploadResponse response;
    response.status = StatusOf(store.Open(names, response.file, response.size), 200);
    if (response.status != 200)
        return Status(response.status);
    // Whatever the name: data, never a page of the relay's origin.
    response.headers = "Content-Type: application/octet-stream\r\n"
                       "X-Content-Type-Options: nosniff\r\n"
                       "Content-Length: " +
                       std::to_string(response.size) + "\r\n";
    if (method == "HEAD")
        response.file.Reset();
    return response;
}

} // namespace

UploadResponse HandleRequest(UploadStore& store, const UploadRequest& request,
                             const BodyReader& body) {
    UploadResponse response = Decide(store, request, body);
    // Whatever the answer: take the rest of the body, so that nginx can finish
    // sending it, and drop the body file unless it went into the store.
    char buffer[64 * 1024];
    while (body(buffer, sizeof buffer) > 0) {
    }
    if (!request.contentFile.empty() && response.status != 201)
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

} // namespace Kwvp
