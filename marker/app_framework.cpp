#include "app_framework.h"

#include "marker_calls.h"

namespace framework {
namespace {

// Constant-initialised, so it is null before any static constructor runs,
// whatever order the program's static objects are built in.
Application* gCurrent = nullptr;

}  // namespace

Application::Application(const wchar_t* appName) : appName_(appName)
{
    // A second application object would have no module to bind to; the
    // first one stays the program's.
    if (gCurrent == nullptr)
        gCurrent = this;
    QUINTAR_TRACE("construct");
}

Application::~Application()
{
    if (gCurrent == this)
        gCurrent = nullptr;
    QUINTAR_TRACE("destroy");
}

Application* CurrentApplication()
{
    return gCurrent;
}

int WinInit(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand)
{
    Application* const app = gCurrent;
    if (instance == nullptr || app == nullptr || app->initialized_)
        return 0;
    app->instance_ = instance;
    app->previousInstance_ = previousInstance;
    app->commandLine_ = commandLine;
    app->showCommand_ = showCommand;
    app->initialized_ = true;
    QUINTAR_TRACE("initialised");
    return 1;
}

}  // namespace framework
