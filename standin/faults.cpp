#include "faults.h"

#include <cctype>

#include "imports.h"

namespace {

Faults Active;
void* RealLookUp[2];
void* RealFreeSpace;

typedef void*(WINAPI* LookUpFn)(const char*);
typedef BOOL(WINAPI* FreeSpaceFn)(LPCSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD);

void* look_up(int which, const char* name)
{
    if (Active.slow_resolve_ms)
        Sleep(Active.slow_resolve_ms);
    if (Active.fail_resolve) {
        SetLastError(ResolveFailureCode);
        return nullptr;
    }
    return reinterpret_cast<LookUpFn>(RealLookUp[which])(name);
}
void* WINAPI look_up_wsock32(const char* name) { return look_up(0, name); }
void* WINAPI look_up_ws2_32(const char* name) { return look_up(1, name); }

HANDLE WINAPI failing_icmp_create()
{
    SetLastError(IcmpFailureCode);
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI slow_free_space(LPCSTR root, LPDWORD sectors, LPDWORD bytes, LPDWORD free_clusters, LPDWORD clusters)
{
    if (root && toupper(static_cast<unsigned char>(root[0])) == Active.slow_drive)
        Sleep(Active.slow_drive_ms);
    return reinterpret_cast<FreeSpaceFn>(RealFreeSpace)(root, sectors, bytes, free_clusters, clusters);
}

// The daemon may take either library of each pair.
const ImportHook ResolveHooks[] = {
    {"wsock32.dll", "gethostbyname", reinterpret_cast<void*>(&look_up_wsock32), &RealLookUp[0]},
    {"ws2_32.dll", "gethostbyname", reinterpret_cast<void*>(&look_up_ws2_32), &RealLookUp[1]},
};
const ImportHook IcmpHooks[] = {
    {"iphlpapi.dll", "IcmpCreateFile", reinterpret_cast<void*>(&failing_icmp_create), nullptr},
    {"icmp.dll", "IcmpCreateFile", reinterpret_cast<void*>(&failing_icmp_create), nullptr},
};
const ImportHook DriveHooks[] = {
    {"kernel32.dll", "GetDiskFreeSpaceA", reinterpret_cast<void*>(&slow_free_space), &RealFreeSpace},
};

template <size_t N>
int patch(HMODULE module, const ImportHook (&hooks)[N])
{
    return patch_imports(module, hooks, N);
}

} // namespace

int faults_patch(HMODULE module, const Faults& faults)
{
    Active = faults;
    Active.slow_drive = static_cast<char>(toupper(static_cast<unsigned char>(faults.slow_drive)));
    int patched = 0;
    if (faults.fail_resolve || faults.slow_resolve_ms)
        patched += patch(module, ResolveHooks);
    if (faults.fail_icmp)
        patched += patch(module, IcmpHooks);
    if (faults.slow_drive)
        patched += patch(module, DriveHooks);
    return patched;
}
