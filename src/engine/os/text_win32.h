#pragma once
// UTF-8 <-> UTF-16 and the system's error texts, for the Windows side of the OS layer.
#include <string>

namespace engine::os {

// Windows takes its names as any sequence of UTF-16 units, and Python's text
// for them may hold a lone surrogate. One crosses as itself both ways: as its
// three-byte form in UTF-8 (what Python's "surrogatepass" writes), as its own
// unit in UTF-16, so a name from Python reaches the file system unchanged.
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);
// The text of GetLastError() (or of the given code) as Python's OSError words
// it, e.g. "[WinError 5] Access is denied", as UTF-8.
std::string last_error_text(unsigned long code = 0);

}  // namespace engine::os
