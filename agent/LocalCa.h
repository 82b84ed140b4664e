// A local management CA for an agent that has none installed yet: nginx checks
// client certificates against the CA file and does not start without one.
#pragma once

#include <cstddef>
#include <string>

namespace Agent {

// Makes a self-signed CA certificate (PEM) at certPath and its private key at keyPath
// (owner-only). An existing file is never overwritten. On failure returns false and
// puts a readable reason into error.
bool MakeLocalCa(const std::string& certPath, const std::string& keyPath, std::string& error);

} // namespace Agent
