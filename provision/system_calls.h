#pragma once
// The few platform calls whose failure cannot be provoked from outside the
// process go through KELVANE_SYSCALL. The shipped program calls the platform
// directly; the unit tests build the same sources with KELVANE_TEST_SEAMS and
// get a hook that can make each call fail on demand.
#if defined(KELVANE_TEST_SEAMS)
#include "seam_hooks.h"
#define KELVANE_SYSCALL(call) ::test_seam::call
#else
#define KELVANE_SYSCALL(call) ::call
#endif
