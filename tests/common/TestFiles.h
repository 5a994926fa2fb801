// Files that the test-side programs share: their own folder (where the programs under test sit),
// private files in the temp folder, and logs that another process is still writing.
#pragma once

#include <string>
#include <vector>

// The folder of the running program, without a trailing backslash.
std::wstring ProgramFolder();

// A path in the temp folder that no other process, and no earlier call in this one, uses.
std::wstring UniqueTempPath(const std::wstring& stem, const std::wstring& extension);

// The whole lines of a text file, leaving out a last line still being written; empty when the
// file does not exist.
std::vector<std::string> ReadWholeLines(const std::wstring& path);
