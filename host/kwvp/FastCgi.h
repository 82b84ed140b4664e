// One FastCGI request over one connection, in the responder role, as nginx sends
// it: the parameters within a deadline and with a size limit, then the body, then
// the answer. Every read and write gives up after an idle timeout, so a peer that
// stalls costs only its own connection.
#pragma once

#include <chrono>
#include <map>
#include <string>

namespace Kwvp {

class FastCgiConnection {
public:
    // fd: a connected socket, owned by the caller.
    FastCgiConnection(int fd, std::chrono::milliseconds idleTimeout);

    // Reads the request's beginning and all its parameters, taking at most limit
    // in all. False with the reason in error.
    bool ReadRequest(std::chrono::milliseconds limit, std::map<std::string, std::string>& params,
                     std::string& error);
    // Reads the next piece of the body: bytes read, 0 at its end, -1 on a failure.
    long ReadBody(char* buffer, size_t size);
    // Sends answer data (the CGI response: header lines, blank line, body).
    bool Write(const char* data, size_t size);
    // Ends the answer and the request.
    bool End();

    static constexpr size_t kMaxParamBytes = 64 * 1024;

private:
    struct Header {
        unsigned char type = 0;
        unsigned requestId = 0;
        size_t length = 0;
        size_t padding = 0;
    };
    bool ReadExact(char* buffer, size_t size);
    bool ReadHeader(Header& header);
    bool Skip(size_t size);
    bool SendRecord(unsigned char type, const char* data, size_t size);
    bool WaitFor(short events);

    int fd_;
    std::chrono::milliseconds idle_;
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
    unsigned requestId_ = 1;
    size_t stdinLeft_ = 0;
    size_t stdinPadding_ = 0;
    bool stdinEnded_ = false;
    std::string readError_; // why reading failed; empty while it works
    bool writeFailed_ = false;
};

// Parses FastCGI name-value pairs into params; false when they are malformed.
bool ParseFastCgiParams(const std::string& data, std::map<std::string, std::string>& params);

} // namespace Kwvp
