// Small file helpers. Failures come back as false or an empty optional with a message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// Creates or truncates the file and writes all bytes.
bool writeFileBytes(const std::vector<uint8_t>& bytes, const std::string& path, std::string* error);
bool writeFileText(const std::string& text, const std::string& path, std::string* error);
std::optional<std::string> readFileText(const std::string& path, std::string* error);
// Creates the directory and any missing parents (mode 0755).
bool makeDirectories(const std::string& path, std::string* error);

}  // namespace corvane
