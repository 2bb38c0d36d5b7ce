// The web front end's own small files (password hash, settings): read whole,
// replaced atomically and readable by the owner only.
#pragma once

#include <optional>
#include <string>

namespace qva_web {

// The file's bytes, or nothing when it is missing, unreadable or longer than maxBytes.
std::optional<std::string> readSmallFile(const std::string& path, size_t maxBytes = 64 * 1024);

// Replaces path with data (mode 0600) through a temporary file in the same
// folder, so a crash leaves the old or the new content, never a mix.
bool writePrivateFile(const std::string& path, const std::string& data);

// Creates dir (and its parents) if missing; a new leaf gets mode 0700.
bool ensurePrivateDirectory(const std::string& dir);

}  // namespace qva_web
