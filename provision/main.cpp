#include "run_driver.h"

int wmain()
{
    // Before anything can load a DLL: the run has administrator rights.
    kelvane::RestrictDllSearch();
    return kelvane::RunProvisioning();
}
