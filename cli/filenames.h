// File-name parts and existence tests. Both "/" and "\" separate folders, and ":" ends a
// drive part, so names written either way are taken apart the same.
#pragma once

#include <string>
#include <string_view>

namespace tw {

bool IsPathDelimiter(char c);

// Everything up to and including the last "/", "\" or ":"; empty for a bare file name.
std::string ExtractFilePath(std::string_view name);
// From the last dot on, dot included; empty when no dot follows the last delimiter.
std::string ExtractFileExt(std::string_view name);

// True when the name exists and is not a folder (links are followed).
bool FileExists(const std::string& name);
// True when the name exists and is a folder; an empty name is none.
bool DirectoryExists(const std::string& name);

} // namespace tw
