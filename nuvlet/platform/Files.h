#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace nuvlet::files {

// Small POSIX file operations shared by the records. None throws; each reports
// failure through its result and leaves nothing half-written behind.

// Creates dir and any missing parents; directories it creates get `mode`
// (existing ones are left as they are). True when dir exists afterwards.
bool ensureDirectory(const std::filesystem::path& dir, unsigned mode = 0700);

// Reads a whole regular file. Nothing when it is missing, not a regular file,
// unreadable or larger than maxBytes.
std::optional<std::string> readFile(const std::filesystem::path& path,
                                    std::size_t maxBytes = std::size_t{64} << 20);

// Replaces path with bytes in one step: a reader sees the old file or the new one,
// never a part. The new file gets `mode`. False (and the old file untouched) on
// any failure. Temporaries that earlier writes of path left when killed before their
// rename, and that are over a minute old, are removed after a successful write.
bool writeAtomically(const std::filesystem::path& path, std::string_view bytes,
                     unsigned mode = 0600);

// Renames a damaged file to "<name>.corrupt-<unix seconds>" so that the next save
// does not destroy what it held. True when it was moved.
bool moveAside(const std::filesystem::path& path, double unixSeconds);

}  // namespace nuvlet::files
