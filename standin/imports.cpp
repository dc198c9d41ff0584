#include "imports.h"

#include <cstring>

namespace {

void* replacement_for(const char* name, const ImportHook* hooks, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if (strcmp(hooks[i].name, name) == 0)
            return hooks[i].replacement;
    return nullptr;
}

bool put_entry(IMAGE_THUNK_DATA32* entry, void* replacement)
{
    DWORD old;
    if (!VirtualProtect(entry, sizeof *entry, PAGE_READWRITE, &old))
        return false;
    entry->u1.Function = reinterpret_cast<DWORD>(replacement);
    VirtualProtect(entry, sizeof *entry, old, &old);
    FlushInstructionCache(GetCurrentProcess(), entry, sizeof *entry);
    return true;
}

} // namespace

int patch_imports(HMODULE module, const char* dll, const ImportHook* hooks, size_t count)
{
    auto* base = reinterpret_cast<unsigned char*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return 0;
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE)
        return 0;
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return 0;

    int patched = 0;
    for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); desc->Name;
         ++desc) {
        // The names come from the lookup table; the address table beside it
        // holds the bound addresses. Without a lookup table nothing is named.
        if (_stricmp(reinterpret_cast<const char*>(base + desc->Name), dll) != 0 || !desc->OriginalFirstThunk)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + desc->OriginalFirstThunk);
        auto* entries = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++entries) {
            if (IMAGE_SNAP_BY_ORDINAL32(names->u1.Ordinal))
                continue;
            auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            void* replacement = replacement_for(reinterpret_cast<const char*>(by_name->Name), hooks, count);
            if (replacement && put_entry(entries, replacement))
                ++patched;
        }
    }
    return patched;
}
