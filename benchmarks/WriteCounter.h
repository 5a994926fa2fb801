// Counts the WriteFile calls this program makes, the bridge code linked into it included, by
// pointing the program's import of WriteFile at a counting wrapper.
#pragma once

#include <windows.h>

// False when the import could not be found; nothing is counted then.
bool StartCountingWriteFile();
LONG WriteFileCalls();
void ResetWriteFileCalls();
