#include <gtest/gtest.h>
#include <windows.h>

#include <string>

extern HMODULE KorvalDll;

// The built korval.dll sits one folder above the test program.
int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    char path[MAX_PATH];
    std::string exe(path, GetModuleFileNameA(nullptr, path, sizeof path));
    std::string dll = exe.substr(0, exe.find_last_of('\\')) + "\\..\\korval.dll";
    KorvalDll = LoadLibraryA(dll.c_str());
    if (KorvalDll == nullptr) {
        fprintf(stderr, "cannot load %s\n", dll.c_str());
        return 1;
    }
    return RUN_ALL_TESTS();
}
