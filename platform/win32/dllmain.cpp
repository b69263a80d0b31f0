// The module's entry: all set-up happens when the player calls init, so
// loading and unloading do nothing and always succeed.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
