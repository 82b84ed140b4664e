// libFuzzer target: KwaCore::Unzip on any bytes. No crash, no hang, no write
// outside the target directory, and nothing but plain files and directories
// (with capped modes) inside it. Every input is unpacked into a fresh target
// directory that stands alone in a sentinel directory beside a marker file; the
// sentinel directory, the marker and the scratch root around it must look the
// same afterwards.
#include <KwaCore.h>

#include <wx/filename.h>
#include <wx/log.h>

#include <sys/stat.h>
#include <unistd.h>

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

// Checks every entry below directory: plain files and directories only, modes
// within what unpacking may give.
void Check(const std::string& directory) {
    for (const std::string& name : Listing(directory)) {
        const std::string path = directory + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            Fail("cannot stat " + path);
        if (S_ISDIR(st.st_mode)) {
            if ((st.st_mode & 07777 & ~0711) != 0)
                Fail("directory mode too wide: " + path);
            chmod(path.c_str(), 0700);
            Check(path);
        } else if (!S_ISREG(st.st_mode)) {
            Fail("not a plain file or directory: " + path);
        } else if ((st.st_mode & 07777 & ~0644) != 0) {
            Fail("file mode too wide: " + path);
        }
    }
}

void Setup() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kwa-fuzz-unzip-XXXXXX";
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

// The relay's callback goes on for every entry; some inputs stop at the second
// entry instead, as a shutdown would.
struct Walk {
    int entries = 0;
    bool stopEarly = false;
};
bool Callback(void* context, const wxZipEntry*, const wchar_t*) {
    auto* walk = static_cast<Walk*>(context);
    return !(walk->stopEarly && ++walk->entries >= 2);
}

} // namespace

// Unpacks the bytes into a fresh target directory, aborts on anything unpacking
// must never do, and returns Unzip's verdict (and, with left, how many names the
// target then held). With stopEarly the callback stops at the second entry, as a
// shutdown would. The suite's corpus test calls it too.
bool UnzipChecked(const uint8_t* data, size_t size, bool stopEarly, size_t* left) {
    if (root.empty())
        Setup();
    const std::string archive = root + "/archive.zip";
    const std::string target = sentinel + "/target";
    if (!(std::ofstream(archive, std::ios::binary)
              .write(reinterpret_cast<const char*>(data), size)))
        Fail("cannot write the archive");
    mkdir(target.c_str(), 0700);
    const std::set<std::string> rootBefore = Listing(root);

    Walk walk;
    walk.stopEarly = stopEarly;
    const bool ok =
        KwaCore::Unzip(wxFileName(wxString::FromUTF8(archive.c_str())),
                       wxFileName::DirName(wxString::FromUTF8(target.c_str())), &Callback, &walk);

    if (Listing(sentinel) != std::set<std::string>{"marker.txt", "target"})
        Fail("something was written beside the target directory");
    std::ifstream marker(sentinel + "/marker.txt");
    if (std::string(std::istreambuf_iterator<char>(marker), {}) != MarkerText)
        Fail("the marker beside the target directory changed");
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
