#include "run_driver.h"

int wmain()
{
    return kelvane::RunProvisioning();
}
