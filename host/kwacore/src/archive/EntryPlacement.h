// Safe placement of unpacked entries on disk: directories and files are created
// below the target relative to open directory descriptors, never following a
// link. Each unpacking worker has a writer thread that takes its entries' data
// piece by piece from the worker and checks each file's checksum as it writes.
#pragma once

#include "ArchiveSupport.h"

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace KwaCore {
namespace Archive {

constexpr size_t PieceSize = 256 * 1024;
constexpr size_t PieceCount = 6;

class TargetTree {
public:
    explicit TargetTree(int rootFd) : rootFd_(rootFd) {}

    // The descriptor of the directory dir ("" for the target itself), made
    // with its missing parents; -1 (errno set) when it cannot be reached
    // without a link.
    int Directory(const std::string& dir, mode_t lastMode = 0711);

private:
    static int Open(int parent, const std::string& name, mode_t mode);

    int rootFd_;
    std::vector<std::pair<std::string, UniqueFd>> chain_;
};

// A part of one entry's data; an entry's first piece says what the entry is.
struct Piece {
    std::string name; // as in the archive, for a refusal
    std::string path;
    mode_t mode = 0;
    uint32_t crc = 0;
    uint32_t dosTime = 0;
    bool first = true;
    bool last = true;
    bool abandon = false; // the entry failed: remove what was written of it
    std::vector<unsigned char> data;
    size_t length = 0;
};

class Writer {
public:
    explicit Writer(int rootFd) : tree_(rootFd), pieces_(PieceCount) {}
    ~Writer() { Finish(); }

    void Start();
    // The next free piece, waiting for the writer when all are in use; null
    // once the writer has failed.
    Piece* Acquire();
    void Push();
    // Pushes a piece that holds a whole entry, writing it on the calling thread
    // when the writer thread is idle (two thread switches fewer per small file);
    // false once the writer has failed.
    bool PushWhole();
    // Waits until everything pushed is written; true when all went well.
    bool Finish();
    // Why the writer failed (read after Finish).
    const Failure& Why() const { return failure_; }

private:
    void Loop();
    bool Handle(const Piece& piece);
    bool Create(const Piece& piece);
    void Discard();

    TargetTree tree_;
    std::vector<Piece> pieces_;
    size_t head_ = 0;
    size_t count_ = 0;
    bool closing_ = false;
    bool failed_ = false;
    bool failedLocal_ = false; // the writer thread's own copy
    std::mutex mutex_;
    std::condition_variable workReady_;
    std::condition_variable spaceFree_;
    std::thread thread_;
    Failure failure_;

    // The file being written.
    UniqueFd file_;
    int fileDirectory_ = -1;
    std::string leaf_;
    std::string name_;
    uint32_t expectedCrc_ = 0;
    uint32_t dosTime_ = 0;
    uint32_t crc_ = 0;
};

} // namespace Archive
} // namespace KwaCore
