#include "faults.h"

#include "imports.h"

namespace {

void* WINAPI failing_gethostbyname(const char*)
{
    SetLastError(ResolveFailureCode);
    return nullptr;
}

HANDLE WINAPI failing_icmp_create()
{
    SetLastError(IcmpFailureCode);
    return INVALID_HANDLE_VALUE;
}

// The daemon may take either library of each pair.
const ImportHook ResolveHooks[] = {
    {"wsock32.dll", "gethostbyname", reinterpret_cast<void*>(&failing_gethostbyname), nullptr},
    {"ws2_32.dll", "gethostbyname", reinterpret_cast<void*>(&failing_gethostbyname), nullptr},
};
const ImportHook IcmpHooks[] = {
    {"iphlpapi.dll", "IcmpCreateFile", reinterpret_cast<void*>(&failing_icmp_create), nullptr},
    {"icmp.dll", "IcmpCreateFile", reinterpret_cast<void*>(&failing_icmp_create), nullptr},
};

} // namespace

int faults_patch(HMODULE module, bool fail_resolve, bool fail_icmp)
{
    int patched = 0;
    if (fail_resolve)
        patched += patch_imports(module, ResolveHooks, sizeof ResolveHooks / sizeof ResolveHooks[0]);
    if (fail_icmp)
        patched += patch_imports(module, IcmpHooks, sizeof IcmpHooks / sizeof IcmpHooks[0]);
    return patched;
}
