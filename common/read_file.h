// A whole file read into memory, bounded.
#pragma once

#include <cstddef>
#include <string>

enum class FileRead { ok, open_failed, read_failed, too_big };

// Reads `path` into `text`, refusing files over `limit` bytes. Logs
// nothing: callers say what the file was for; errno tells why an open or
// a read failed.
FileRead read_whole_file(const std::string& path, size_t limit, std::string& text);
