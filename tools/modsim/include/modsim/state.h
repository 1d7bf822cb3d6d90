// The state file: every module's identity, firmware, flash and counters.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace modsim {

class Module;

std::string sha256Hex(const std::vector<uint8_t>& bytes);
// With an empty flashDir no flash files are written (the path is left empty).
nlohmann::json moduleState(const Module& module, const std::string& flashDir);
nlohmann::json simulatorState(const std::vector<const Module*>& modules,
                              const std::string& flashDir);
// Writes atomically (a temporary file, then a rename). Throws on failure.
void writeStateFile(const std::string& path, const nlohmann::json& state);

}  // namespace modsim
