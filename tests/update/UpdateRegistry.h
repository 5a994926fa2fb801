#pragma once

// The installer's uninstall keys in the current user's hive, as the tests set them up.

#include <windows.h>

#include <string>

bool CreateInstallKey(const wchar_t* keyPath);

// Sets "InstallLocation" of an existing key.
bool StoreString(const wchar_t* keyPath, const std::wstring& text);
bool StoreRaw(const wchar_t* keyPath, DWORD type, const void* data, std::size_t bytes);

// Removes the ten keys with everything below them.
void DeleteAllInstallKeys();
