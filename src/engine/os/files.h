#pragma once
// Files that a run rewrites are replaced in one step, so an interrupt or a
// failed write leaves either the old content or the new one, never half.
#include <string>
#include <string_view>

namespace engine::os {

// How far a replaced file is pushed before the rename. The rename alone makes
// the replace atomic for an interrupted or crashed process; a sync also covers
// a power loss, at the cost of a disk flush (milliseconds) per file.
enum class Durability { Rename, Sync };

// Writes bytes to a temporary file beside path and renames it over path.
// Throws std::runtime_error (text like Python's OSError) on failure; the old
// file is then untouched and no temporary is left behind.
void replace_file(const std::string& path, std::string_view bytes, Durability durability = Durability::Sync);

// The platform's text line end ("\r\n" on Windows, "\n" elsewhere).
std::string_view native_line_end();

// Text with every "\n" turned into the platform's line end, as a file opened
// in text mode writes it.
std::string native_lines(std::string_view text);

// The path of the shared library (or executable) holding the given address.
std::string module_file(const void* address);

}  // namespace engine::os
