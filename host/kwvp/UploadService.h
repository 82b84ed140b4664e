// The upload service's answers to nginx's FastCGI requests for the /data/ location.
#pragma once

#include "UploadStore.h"

#include <sys/types.h>

#include <string>

namespace Kwvp {

// The FastCGI parameters the service reads, and who sent them.
struct UploadRequest {
    std::string method;      // REQUEST_METHOD
    std::string uri;         // URI: nginx's $uri, decoded and normalised
    std::string contentFile; // CONTENT_FILE: the request-body file, may be empty
    std::string verified;    // VERIFIED: "SUCCESS" or nginx's client verification result
    uid_t peer = 0;          // the web server process's user (owner of the body file)
};

struct UploadResponse {
    int status = 500;
    std::string headers; // extra header lines, each ending in "\r\n"
    UniqueFd file;       // GET: the stored file, sent as the body
    off_t size = 0;
};

// Decides and carries out one request. PUT and POST store the body (201), GET and
// HEAD answer the stored file as data (200), DELETE removes it (204). 403 when the
// client is not verified, 405 for other methods, 400 for a path that is not
// acceptable, 404 when nothing is stored there, 409 when a directory is in the
// way, 507 when the disk is full, 500 when a file operation fails or the body file
// is not acceptable. The body is drained, and the body file removed unless it went
// into the store.
UploadResponse HandleRequest(UploadStore& store, const UploadRequest& request,
                             const BodyReader& body);

// The response's status and header lines for FastCGI, up to the blank line, plus
// the short text body of a status without content.
std::string FormatResponse(const UploadResponse& response);

} // namespace Kwvp
