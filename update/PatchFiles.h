#pragma once

#include <windows.h>

#include <string>

// Room for the longest path Windows can report for a module.
constexpr DWORD LongPathCapacity = 32768;

// The module's full path, read into a buffer of the given capacity; false when it did not fit whole.
bool ReadModulePath(HMODULE module, DWORD capacity, std::wstring& path);

// The wildcard naming everything in the Patch folder beside the module: its folder, kept with the
// trailing backslash, then "\Patch\*.*". False for a path without a folder.
bool PatchSourcePatternFor(const std::wstring& modulePath, std::wstring& pattern);

// A one-entry file list for the shell: the path followed by two zero units.
std::wstring ShellFileList(const std::wstring& path);

// The verdict on a shell copy from its return value and its aborted flag. The copy can end early
// without an error code, when the user cancels its progress window or the system silently skips part
// of it; a copy that was not done whole is a failure.
bool ShellCopySucceeded(int result, BOOL anyOperationsAborted);

// Copies what the source list names into the target folder, subfolders included, replacing files
// without asking; true when the shell reports that all of it was done.
bool CopyShellFiles(const std::wstring& source, const std::wstring& target);

// Copies the Patch folder's contents beside the running program into the game folder.
bool CopyPatchFiles(const wchar_t* path);

// Deletes the contents of the Patch folder beside the running program, keeping the folder.
void DeletePatchFiles();
