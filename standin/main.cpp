#include <windows.h>

#include <cstdio>

#include "host_core.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: korval-standin DLL\n");
        return 2;
    }
    HostOptions options;
    options.echo_console = true;
    standin_reset(options);
    HMODULE dll = LoadLibraryA(argv[1]);
    if (!dll) {
        fprintf(stderr, "cannot load %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    auto start = reinterpret_cast<short (*)(HostInterface*)>(reinterpret_cast<void*>(GetProcAddress(dll, "_startup")));
    auto stop = reinterpret_cast<short (*)()>(reinterpret_cast<void*>(GetProcAddress(dll, "_closedown")));
    if (!start || !stop)
        return 1;
    printf("startup: %d\n", start(standin_record()));
    stop();
    FreeLibrary(dll);
    return 0;
}
