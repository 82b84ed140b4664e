// libFuzzer target: KwaCore::Unzip on any bytes. No crash, no hang, no write
// outside the target directory, and nothing but plain files and directories
// (with capped modes) inside it. Every input is unpacked into a fresh target
// directory that stands alone in a sentinel directory beside a marker file; the
// sentinel directory, the marker and the scratch root around it must look the
// same afterwards.
#include <KwaCore.h>

#include <wx/filename.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

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
    if (DIR* dir = opendir(directory.c_str())) {
        while (const dirent* entry = readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, ".."))
                names.insert(entry->d_name);
        closedir(dir);
    }
    return names;
}

std::string ReadAll(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[256];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

// Checks every entry below directory (plain files and directories only, modes
// within what unpacking may give) and removes it all.
void CheckAndRemove(const std::string& directory) {
    for (const std::string& name : Listing(directory)) {
        const std::string path = directory + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            Fail("cannot stat " + path);
        if (S_ISDIR(st.st_mode)) {
            if ((st.st_mode & 07777 & ~0711) != 0)
                Fail("directory mode too wide: " + path);
            chmod(path.c_str(), 0700);
            CheckAndRemove(path);
            rmdir(path.c_str());
        } else if (S_ISREG(st.st_mode)) {
            if ((st.st_mode & 07777 & ~0644) != 0)
                Fail("file mode too wide: " + path);
            unlink(path.c_str());
        } else {
            Fail("not a plain file or directory: " + path);
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
    mkdir(sentinel.c_str(), 0700);
    FILE* marker = std::fopen((sentinel + "/marker.txt").c_str(), "wb");
    std::fputs(MarkerText, marker);
    std::fclose(marker);
    std::atexit([] {
        CheckAndRemove(sentinel + "/target");
        rmdir((sentinel + "/target").c_str());
        unlink((sentinel + "/marker.txt").c_str());
        rmdir(sentinel.c_str());
        unlink((root + "/archive.zip").c_str());
        rmdir(root.c_str());
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (root.empty())
        Setup();
    const std::string archive = root + "/archive.zip";
    const std::string target = sentinel + "/target";
    {
        FILE* out = std::fopen(archive.c_str(), "wb");
        if (out == nullptr)
            Fail("cannot write the archive");
        if (size > 0)
            std::fwrite(data, 1, size, out);
        std::fclose(out);
    }
    mkdir(target.c_str(), 0700);
    const std::set<std::string> rootBefore = Listing(root);

    Walk walk;
    walk.stopEarly = size % 5 == 0;
    const bool ok = KwaCore::Unzip(wxFileName(wxString::FromUTF8(archive.c_str())),
                                   wxFileName::DirName(wxString::FromUTF8(target.c_str())),
                                   &Callback, &walk);
    (void)ok;

    if (Listing(sentinel) != std::set<std::string>{"marker.txt", "target"})
        Fail("something was written beside the target directory");
    if (ReadAll(sentinel + "/marker.txt") != MarkerText)
        Fail("the marker beside the target directory changed");
    if (Listing(root) != rootBefore)
        Fail("something was written in the scratch root");
    CheckAndRemove(target);
    rmdir(target.c_str());
    return 0;
}
