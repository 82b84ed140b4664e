// FastCGI records over one connection: reading a request, writing its answer.
#include "FastCgi.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace Kwvp {

namespace {

using Clock = std::chrono::steady_clock;

enum : unsigned char {
    kBeginRequest = 1,
    kAbortRequest = 2,
    kEndRequest = 3,
    kParams = 4,
    kStdin = 5,
    kStdout = 6,
};
constexpr unsigned kResponder = 1;
constexpr size_t kMaxRecord = 0xffff;

// A name-value length: one byte below 128, else four with the top bit set.
bool ReadLength(const std::string& data, size_t& at, size_t& length) {
    if (at >= data.size())
        return false;
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(data[i]); };
    if (byte(at) < 0x80) {
        length = byte(at++);
        return true;
    }
    if (at + 4 > data.size())
        return false;
    length = (size_t(byte(at) & 0x7f) << 24) | (size_t(byte(at + 1)) << 16) |
             (size_t(byte(at + 2)) << 8) | byte(at + 3);
    at += 4;
    return true;
}

} // namespace

bool ParseFastCgiParams(const std::string& data, std::map<std::string, std::string>& params) {
    size_t at = 0;
    while (at < data.size()) {
        size_t nameLength = 0, valueLength = 0;
        if (!ReadLength(data, at, nameLength) || !ReadLength(data, at, valueLength) ||
            nameLength > data.size() - at || valueLength > data.size() - at - nameLength)
            return false;
        params[data.substr(at, nameLength)] = data.substr(at + nameLength, valueLength);
        at += nameLength + valueLength;
    }
    return true;
}

FastCgiConnection::FastCgiConnection(int fd, std::chrono::milliseconds idleTimeout)
    : fd_(fd), idle_(idleTimeout) {}

bool FastCgiConnection::WaitFor(short events) {
    auto wait = idle_;
    if (deadline_ != Clock::time_point::max()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
        wait = std::min(wait, std::max(left, std::chrono::milliseconds(0)));
    }
    pollfd p{fd_, events, 0};
    int ready;
    while ((ready = poll(&p, 1, static_cast<int>(wait.count()))) < 0 && errno == EINTR) {
    }
    return ready > 0;
}

bool FastCgiConnection::ReadExact(char* buffer, size_t size) {
    while (size > 0 && readError_.empty()) {
        if (!WaitFor(POLLIN)) {
            readError_ = "idle or too slow: no complete record in time";
            break;
        }
        const ssize_t n = recv(fd_, buffer, size, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            readError_ = "connection closed within a record";
        } else {
            buffer += n;
            size -= size_t(n);
        }
    }
    return readError_.empty();
}

bool FastCgiConnection::Skip(size_t size) {
    char buffer[4096];
    while (size > 0) {
        const size_t n = std::min(size, sizeof buffer);
        if (!ReadExact(buffer, n))
            return false;
        size -= n;
    }
    return true;
}

bool FastCgiConnection::ReadHeader(Header& header) {
    unsigned char raw[8];
    if (!ReadExact(reinterpret_cast<char*>(raw), sizeof raw))
        return false;
    if (raw[0] != 1) {
        readError_ = "protocol version " + std::to_string(raw[0]);
        return false;
    }
    header.type = raw[1];
    header.requestId = (unsigned(raw[2]) << 8) | raw[3];
    header.length = (size_t(raw[4]) << 8) | raw[5];
    header.padding = raw[6];
    return true;
}

bool FastCgiConnection::ReadRequest(std::chrono::milliseconds limit,
                                    std::map<std::string, std::string>& params,
                                    std::string& error) {
    deadline_ = Clock::now() + limit;
    bool begun = false;
    std::string data;
    Header h;
    while (readError_.empty() && ReadHeader(h)) {
        if (h.requestId == 0) { // a management record: not used by nginx
            Skip(h.length + h.padding);
            continue;
        }
        if (!begun) {
            unsigned char body[8];
            if (h.type != kBeginRequest || h.length != sizeof body) {
                error = "the request does not begin with BEGIN_REQUEST";
                return false;
            }
            if (!ReadExact(reinterpret_cast<char*>(body), sizeof body) || !Skip(h.padding))
                break;
            if (((unsigned(body[0]) << 8) | body[1]) != kResponder) {
                error = "not the responder role";
                return false;
            }
            begun = true;
            requestId_ = h.requestId;
            continue;
        }
        if (h.type != kParams || h.requestId != requestId_) {
            error = "unexpected record type " + std::to_string(h.type);
            return false;
        }
        if (h.length == 0) {
            deadline_ = Clock::time_point::max();
            if (ParseFastCgiParams(data, params))
                return true;
            error = "malformed parameters";
            return false;
        }
        if (data.size() + h.length > kMaxParamBytes) {
            error = "parameters longer than " + std::to_string(kMaxParamBytes) + " bytes";
            return false;
        }
        const size_t at = data.size();
        data.resize(at + h.length);
        if (ReadExact(&data[at], h.length))
            Skip(h.padding);
    }
    error = readError_;
    return false;
}

long FastCgiConnection::ReadBody(char* buffer, size_t size) {
    while (stdinLeft_ == 0) {
        if (stdinEnded_)
            return 0;
        Header h;
        if (!Skip(stdinPadding_) || !ReadHeader(h))
            return -1;
        stdinPadding_ = h.padding;
        if (h.type == kAbortRequest) {
            readError_ = "request aborted";
            return -1;
        }
        if (h.type != kStdin || h.requestId != requestId_) {
            if (!Skip(h.length))
                return -1;
            continue;
        }
        if (h.length == 0)
            stdinEnded_ = Skip(stdinPadding_);
        stdinLeft_ = h.length;
    }
    const size_t n = std::min(size, stdinLeft_);
    if (!ReadExact(buffer, n))
        return -1;
    stdinLeft_ -= n;
    return static_cast<long>(n);
}

bool FastCgiConnection::SendRecord(unsigned char type, const char* data, size_t size) {
    const unsigned char header[8] = {1,
                                     type,
                                     static_cast<unsigned char>(requestId_ >> 8),
                                     static_cast<unsigned char>(requestId_),
                                     static_cast<unsigned char>(size >> 8),
                                     static_cast<unsigned char>(size),
                                     0,
                                     0};
    iovec parts[2] = {{const_cast<unsigned char*>(header), sizeof header},
                      {const_cast<char*>(data), size}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = size > 0 ? 2 : 1;
    while (!writeFailed_ && message.msg_iovlen > 0) {
        if (!WaitFor(POLLOUT)) {
            writeFailed_ = true;
            break;
        }
        ssize_t n = sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0) {
            writeFailed_ = true;
            break;
        }
        while (message.msg_iovlen > 0 && size_t(n) >= message.msg_iov->iov_len) {
            n -= message.msg_iov->iov_len;
            ++message.msg_iov;
            --message.msg_iovlen;
        }
        if (message.msg_iovlen > 0) {
            message.msg_iov->iov_base = static_cast<char*>(message.msg_iov->iov_base) + n;
            message.msg_iov->iov_len -= size_t(n);
        }
    }
    return !writeFailed_;
}

bool FastCgiConnection::Write(const char* data, size_t size) {
    while (size > 0) {
        const size_t n = std::min(size, kMaxRecord);
        if (!SendRecord(kStdout, data, n))
            return false;
        data += n;
        size -= n;
    }
    return true;
}

bool FastCgiConnection::End() {
    const char complete[8] = {}; // application status 0, REQUEST_COMPLETE
    return SendRecord(kStdout, nullptr, 0) && SendRecord(kEndRequest, complete, sizeof complete);
}

} // namespace Kwvp
