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

const ImportHook ResolveHooks[] = {{"gethostbyname", reinterpret_cast<void*>(&failing_gethostbyname)}};
const ImportHook IcmpHooks[] = {{"IcmpCreateFile", reinterpret_cast<void*>(&failing_icmp_create)}};

// The daemon may take either library of each pair.
const char* const SocketDlls[] = {"wsock32.dll", "ws2_32.dll"};
const char* const IcmpDlls[] = {"iphlpapi.dll", "icmp.dll"};

} // namespace

int faults_patch(HMODULE module, bool fail_resolve, bool fail_icmp)
{
    int patched = 0;
    for (const char* dll : SocketDlls)
        if (fail_resolve)
            patched += patch_imports(module, dll, ResolveHooks, 1);
    for (const char* dll : IcmpDlls)
        if (fail_icmp)
            patched += patch_imports(module, dll, IcmpHooks, 1);
    return patched;
}
