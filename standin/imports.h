// Replaces entries of a loaded module's import address table, so that the
// stand-in can watch or change what the daemon asks of Windows. The daemon
// itself never knows: only its import address table changes.
#pragma once

#include <windows.h>

#include <cstddef>

struct ImportHook {
    const char* name;   // the imported function
    void* replacement;  // same calling convention and arguments
};

// Patches the module's by-name imports from the DLL named dll (any case)
// that appear in hooks. Returns how many entries were patched.
int patch_imports(HMODULE module, const char* dll, const ImportHook* hooks, size_t count);
