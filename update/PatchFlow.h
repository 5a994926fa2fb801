#pragma once

#include "InstallLocation.h"

// Checks the candidate folder, asks the user and copies the patch into it; true when it was patched.
bool ApplyPatchTo(const wchar_t (&path)[PathBufferSize]);

// The whole installer: licence, the search of the uninstall keys with an offer for each folder found,
// the folder picker when nothing was patched, the outcome, the removal of the patch files. Returns the
// exit code, always 0.
int RunPatchInstaller(HINSTANCE instance);
