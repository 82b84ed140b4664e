// The FastCGI side of the upload service: listens on 127.0.0.1:port only while
// switched on, admits only peers whose socket belongs to an allowed user (asked of
// the kernel), and serves each admitted connection on a thread of its own with
// deadlines, so that no peer can hold up another.
#pragma once

#include "UploadStore.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

namespace Kwvp {

// Listens on 127.0.0.1:port (close-on-exec); -1 with the reason in error on failure.
int OpenLoopbackListener(int port, std::string& error);

class UploadServer {
public:
    using PeerFilter = std::function<bool(uid_t)>;

    static constexpr int kMaxConnections = 64;
    // A request's parameters must arrive within this; any read or write of a
    // connection that makes no progress for this long ends it.
    static constexpr std::chrono::seconds kRequestTimeout{5};
    static constexpr std::chrono::seconds kIdleTimeout{5};
    static constexpr int kMaxRefusalLines = 20;

    UploadServer(UploadStore& store, int port, PeerFilter allowed);
    UploadServer(const UploadServer&) = delete;
    UploadServer& operator=(const UploadServer&) = delete;

    // Starts the accepting thread; it runs for the life of the process.
    void Start();
    // Listen (opening the port, retried every second while it is taken) or not.
    void SetEnabled(bool on) { enabled_ = on; }
    bool Listening() const { return listening_; }
    // Connections being served right now.
    int Busy() const { return busy_; }

private:
    void Run();
    void Admit(int fd);
    // Logs the refusal of a peer (accepting thread only).
    void Refuse(const std::string& line);
    void Serve(int fd, uid_t peer, const std::string& name);

    UploadStore& store_;
    int port_;
    PeerFilter allowed_;
    std::atomic<bool> enabled_{false};
    std::atomic<bool> listening_{false};
    std::atomic<int> busy_{0};
    std::chrono::steady_clock::time_point refusalWindow_;
    int refusalLines_ = 0;
    int refusalsHidden_ = 0;
};

} // namespace Kwvp
