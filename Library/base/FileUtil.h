#pragma once
// Low-level file writing shared by the writers of the data log and the INI files, which differ in
// how they open and publish a file but not in how its bytes reach the disk.
#include <string>

// Writes all of Text to Fd (short and interrupted writes continue), flushes it to the disk and
// closes Fd, also on failure. 0 on success, else the errno of the first step that failed.
int WriteSyncAndClose(int Fd, const std::string& Text);
