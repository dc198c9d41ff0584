// The library's entry point, called by Windows directly: the DLL carries no
// C run-time start-up code, and has no static constructor for one to run.
#include "host/daemon.h"
#include "platform/platform.h"
#include "settings/settings.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        Platform = PlatformDefaults;
        ModuleInstance = instance;
        settings_attach();
    } else if (reason == DLL_PROCESS_DETACH) {
        settings_detach();
    }
    return TRUE;
}
