// Helpers of the zip layer and bundle tests: content, archives made by Python's
// zipfile (for entries our own packer never writes), and tree listings.
#pragma once

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace kwatest {

// Content that does not deflate.
inline std::string RandomContent(size_t size, unsigned seed = 1) {
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    return data;
}

// Content that does.
inline std::string TextContent(size_t size, unsigned seed = 1) {
    std::string text = RandomContent(size, seed);
    for (char& c : text)
        c = "relay update bundle\n"[static_cast<unsigned char>(c) % 20];
    return text;
}

// The system's interpreter starts much faster than a version manager's shim.
inline std::string Python() {
    return FileExists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

// Runs body in Python with z = zipfile.ZipFile(archive, 'w') and
// add(name, data=b'x', mode=None, system=3, method=zipfile.ZIP_DEFLATED) defined.
inline void MakePythonArchive(const std::string& archive, const std::string& body) {
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

// Every path below root (relative, sorted), directories with a trailing '/'.
inline std::vector<std::string> ListTree(const std::string& root) {
    namespace fs = std::filesystem;
    std::vector<std::string> paths;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::end(it);
         it.increment(error))
        paths.push_back(fs::relative(it->path(), root).string() +
                        (it->is_directory() && !it->is_symlink() ? "/" : ""));
    std::sort(paths.begin(), paths.end());
    return paths;
}

} // namespace kwatest
