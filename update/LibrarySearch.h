#pragma once

// Update runs elevated, typically from a downloads folder where anything may lie beside it. Windows,
// COM, the shell and the common dialogs load many libraries on demand by their bare names, and the
// classic search order looks in the program's own folder first.

// Makes every later load by bare name, the dependencies of loaded libraries included, search the
// Windows system folder only. False where the system lacks the call (Vista and 7 without update
// KB2533623); the classic search order then stays.
bool RestrictLibrarySearchToSystemFolder();
