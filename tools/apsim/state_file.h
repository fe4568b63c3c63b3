#pragma once
// The state file: per-AP settings applied over the generated APs at start.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace apsim {

class Simulator;

// Applies the text of a state file (format in README.md). load reads a file
// named in it (path as written; the caller resolves it). On failure, error
// names the line.
using FileLoader = std::function<bool(const std::string& path, std::vector<uint8_t>& bytes)>;
bool ApplyState(Simulator& sim, std::string_view text, const FileLoader& load, std::string& error);

}  // namespace apsim
