#pragma once

#include <windows.h>

#include <cstddef>

// Every path in Update fits the classic Windows limit, terminator included.
constexpr std::size_t PathBufferSize = MAX_PATH;

constexpr std::size_t InstallKeyCount = 10;

// The installer's uninstall keys under HKEY_CURRENT_USER, each product's 32-bit view first.
extern const wchar_t* const InstallKeyPaths[InstallKeyCount];

// Fills path with the key's "InstallLocation"; true when that gives a usable, non-empty folder.
// A value that does not fit the buffer whole counts as not found. path is always terminated.
bool ReadInstallLocation(const wchar_t* keyPath, wchar_t (&path)[PathBufferSize]);

// True when the folder holds the game's three marker folders.
bool IsInstallDirectory(const wchar_t* path);

// Lets the user pick the game folder; true when a file-system folder was chosen and written to path.
// COM must be initialised on the calling thread.
bool BrowseForInstallDirectory(wchar_t (&path)[PathBufferSize]);
