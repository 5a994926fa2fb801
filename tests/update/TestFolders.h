#pragma once

// Real folders and files for the tests, each test process in folders of its own.

#include "TestFiles.h"

#include <windows.h>

#include <string>

// A fresh, empty folder under base (created if needed) named after the process and tag.
std::wstring MakeFreshFolder(const std::wstring& base, const std::wstring& tag);

// The system's temporary folder, without a trailing backslash.
std::wstring TempFolder();

bool MakeFolder(const std::wstring& path);
bool WriteTextFile(const std::wstring& path, const std::string& content);
bool ReadTextFile(const std::wstring& path, std::string& content);
bool PathExists(const std::wstring& path);
bool IsFolder(const std::wstring& path);

// Names of the entries of a folder and its subfolders, relative, sorted, subfolders ending in '\'.
std::wstring ListTree(const std::wstring& folder);

// Removes a folder and everything in it; true when it is gone.
bool RemoveTree(const std::wstring& folder);
