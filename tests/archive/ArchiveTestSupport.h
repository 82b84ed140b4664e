// Helpers of the zip layer tests: trees of files, archives made by Python's
// zipfile (for entries our own packer never writes), and tree comparison.
#pragma once

#include "TestSupport.h"

#include <string>
#include <vector>

namespace kwatest {

// Content that deflates well, and content that does not.
std::string TextContent(size_t size, unsigned seed = 1);
std::string RandomContent(size_t size, unsigned seed = 1);

// The Python interpreter to run.
std::string Python();

// Runs Python with z = zipfile.ZipFile(archive, 'w') and
// add(name, data=b'x', mode=None, system=3, method=zipfile.ZIP_DEFLATED)
// defined, then body, then closes the archive. Fails the test on an error.
void MakePythonArchive(const std::string& archive, const std::string& body);

// Every path below root (relative, sorted), directories with a trailing '/'.
std::vector<std::string> ListTree(const std::string& root);

} // namespace kwatest
