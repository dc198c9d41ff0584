// Import address table patching: the stand-in watches what the daemon asks
// of Windows by pointing single imports of the loaded DLL at its own
// functions. The daemon itself never knows: only its import table changes.
#pragma once

#include <windows.h>

#include <cstddef>

struct ImportHook {
    const char* dll;      // the exporting DLL, e.g. "kernel32.dll"
    const char* name;     // the imported function
    void* replacement;
    void** original;      // receives the address the entry held; may be null
};

// Points every import of module named by one of the hooks at its
// replacement. Returns how many entries were patched.
int patch_imports(HMODULE module, const ImportHook* hooks, size_t count);
