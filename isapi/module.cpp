// What the loadable module adds to the core: the entry routine on Windows,
// and elsewhere the last-error exports a host needs.
//
// On Windows the last-error value is the system's, so a host and the filter
// share it through GetLastError/SetLastError. Elsewhere the value lives in
// this module, one per thread; the two exports below let a host read it after
// GetFilterVersion fails and set it from its callbacks (a GetServerVariable
// size probe answers FALSE with 122), exactly as a Windows host would.
#if defined(_WIN32)

#include <windows.h>

// No set-up here: everything starts in GetFilterVersion. The module needs no
// per-thread notifications, so they are turned off. TRUE in every case.
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
  return TRUE;
}

#else

#include "isapi/isapi.h"
#include "platform/platform.h"

#define RG_EXPORT __attribute__((visibility("default")))

// The calling thread's last-error value inside this module.
extern "C" RG_EXPORT DWORD GetLastError(void) { return rg::GetLastErrorValue(); }

// Sets the calling thread's last-error value inside this module.
extern "C" RG_EXPORT void SetLastError(DWORD error) { rg::SetLastErrorValue(error); }

#endif
