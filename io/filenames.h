// File-name parts, existence tests and the small text helpers they need. Both "/" and "\"
// separate folders, and ":" ends a drive part, so names written either way are taken apart
// the same.
#pragma once

#include <string>
#include <string_view>

namespace tw {

// Lower-case ASCII copy.
std::string LowerCase(std::string_view s);
// Copy without leading and trailing blanks and control characters (bytes up to 32).
std::string Trim(std::string_view s);

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
