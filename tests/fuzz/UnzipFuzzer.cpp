// libFuzzer target: KwaCore::Unzip on any bytes. No crash, no hang, nothing written
// beside the target directory, and only plain files and directories with capped modes in it.
#include <KwaCore.h>

#include <wx/filename.h>
#include <wx/log.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string root;     // scratch root: archive.zip and the sentinel directory
std::string sentinel; // holds marker.txt and, while an input runs, target/
const char* const MarkerText = "the unpacking must not touch this";

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_unzip: %s\n", what.c_str());
    std::abort();
}

std::set<std::string> Listing(const std::string& directory) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory, error))
        names.insert(entry.path().filename());
    return names;
}

// Plain files and directories only below directory, with modes unpacking may give.
void Check(const std::string& directory) {
    for (const std::string& name : Listing(directory)) {
        const std::string path = directory + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            Fail("cannot stat " + path);
        const unsigned cap = S_ISDIR(st.st_mode) ? 0711 : S_ISREG(st.st_mode) ? 0644 : 0;
        if (cap == 0)
            Fail("not a plain file or directory: " + path);
        if ((st.st_mode & 07777 & ~cap) != 0)
            Fail("mode too wide: " + path);
        if (S_ISDIR(st.st_mode)) {
            chmod(path.c_str(), 0700);
            Check(path);
        }
    }
}

void Setup() {
    std::string pattern = fs::temp_directory_path() / "kwa-fuzz-unzip-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        Fail("mkdtemp");
    root = pattern;
    sentinel = root + "/sentinel";
    fs::create_directory(sentinel);
    std::ofstream(sentinel + "/marker.txt") << MarkerText;
    std::atexit([] {
        std::error_code error;
        fs::remove_all(root, error);
    });
}

} // namespace

// Unzip's verdict on the bytes, aborting on anything unpacking must never do; left: how
// many names the target then held. The suite's corpus test calls it too.
bool UnzipChecked(const uint8_t* data, size_t size, bool stopEarly, size_t* left) {
    if (root.empty())
        Setup();
    const std::string archive = root + "/archive.zip", target = sentinel + "/target";
    if (!std::ofstream(archive, std::ios::binary).write(reinterpret_cast<const char*>(data), size))
        Fail("cannot write the archive");
    mkdir(target.c_str(), 0700);
    const std::set<std::string> rootBefore = Listing(root);
    int entriesLeft = stopEarly ? 2 : -1; // a stop at the second entry, as a shutdown would
    const bool ok = KwaCore::Unzip(
        wxFileName(wxString::FromUTF8(archive.c_str())),
        wxFileName::DirName(wxString::FromUTF8(target.c_str())),
        [](void* count, const wxZipEntry*, const wchar_t*) {
            return --*static_cast<int*>(count) != 0;
        },
        &entriesLeft);
    std::ifstream marker(sentinel + "/marker.txt");
    if (Listing(sentinel) != std::set<std::string>{"marker.txt", "target"} ||
        std::string(std::istreambuf_iterator<char>(marker), {}) != MarkerText)
        Fail("something was written beside the target directory");
    if (Listing(root) != rootBefore)
        Fail("something was written in the scratch root");
    Check(target);
    if (left != nullptr)
        *left = Listing(target).size();
    std::error_code error;
    if (fs::remove_all(target, error), error)
        Fail("cannot remove " + target);
    return ok;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    wxLogNull quiet; // a refusal per input would only flood the output
    UnzipChecked(data, size, size % 5 == 0, nullptr);
    return 0;
}
