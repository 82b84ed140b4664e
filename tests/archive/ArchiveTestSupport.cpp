#include "ArchiveTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

namespace kwatest {

std::string TextContent(size_t size, unsigned seed) {
    static const char* const words[] = {"relay", "update", "package", "bundle",
                                        "agent", "server", "deflate", "archive",
                                        "entry", "web",    "root",    "mode"};
    std::mt19937 random(seed);
    std::string text;
    text.reserve(size + 16);
    while (text.size() < size) {
        text += words[random() % 12];
        text += random() % 9 == 0 ? '\n' : ' ';
    }
    text.resize(size);
    return text;
}

std::string RandomContent(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    return data;
}

std::string Python() {
    // The system's interpreter starts much faster than a version manager's shim.
    return FileExists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

void MakePythonArchive(const std::string& archive, const std::string& body) {
    const std::string script =
        "import sys, stat, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
        "def add(name, data=b'x', mode=None, system=3, method=zipfile.ZIP_DEFLATED):\n"
        "    i = zipfile.ZipInfo(name)\n"
        "    i.create_system = system\n"
        "    i.compress_type = method\n"
        "    if mode is not None:\n"
        "        i.external_attr = mode << 16\n"
        "    z.writestr(i, data)\n" +
        body + "\nz.close()\n";
    const CommandResult result =
        RunCommand(Python() + " -W ignore -c " + ShellQuote(script) + " " + ShellQuote(archive));
    ASSERT_EQ(result.exitCode, 0) << result.output;
}

std::vector<std::string> ListTree(const std::string& root) {
    namespace fs = std::filesystem;
    std::vector<std::string> paths;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::end(it);
         it.increment(error)) {
        std::string relative = fs::relative(it->path(), root).string();
        if (it->is_directory() && !it->is_symlink())
            relative += "/";
        paths.push_back(relative);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

} // namespace kwatest
