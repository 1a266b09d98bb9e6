#pragma once
// The two calls whose outcome decides QUINTAR's exit go through QUINTAR_CALL.
// The shipped program calls them directly; the test build compiles the same
// sources with QUINTAR_TEST_SEAMS and gets hooks that can make either call fail
// and that record the application object's lifecycle.
#if defined(QUINTAR_TEST_SEAMS)
#include "quintar_seams.h"
#define QUINTAR_CALL(call) ::quintar_seams::call
#define QUINTAR_TRACE(event) ::quintar_seams::Trace(event)
#else
#define QUINTAR_CALL(call) ::call
#define QUINTAR_TRACE(event) static_cast<void>(0)
#endif
