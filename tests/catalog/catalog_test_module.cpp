// The code side of the catalog tests' resource module: nothing but its string tables matter.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
