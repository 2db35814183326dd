// File work of telvad-cli done in the tool itself: whole-file replacement
// that never leaves a half-written file, and removal of a directory tree
// that never follows a symbolic link.
#pragma once

#include <sys/types.h>

#include <string>

namespace cli {

// Reads a file of at most 1 MiB. false (errno set, logged) on failure.
bool read_file(const std::string& path, std::string& contents);

// How replace_file() went: done, or the step that failed (errno set).
enum class Replace { done, write_failed, rename_failed };

// Writes `contents` to PATH.new (fsync'ed, with the mode and owner of PATH,
// or `mode` root:root when PATH does not exist) and renames it over PATH.
// On failure PATH is untouched and PATH.new is gone.
Replace replace_file(const std::string& path, const std::string& contents, mode_t mode = 0644);

// Removes `path` and, when it is a directory, everything in it; symbolic
// links are removed, never followed. A missing path is no failure.
bool remove_tree(const std::string& path);

}  // namespace cli
