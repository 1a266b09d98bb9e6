#pragma once
// The application framework QUINTAR is built on: one application object per
// program, and the initialisation that binds it to the running module.
#include <windows.h>

namespace framework {

// The program's application object. A program defines exactly one, as a
// static object, so that it exists before wmain runs and is destroyed by the
// runtime's normal exit after wmain has returned.
class Application {
public:
    explicit Application(const wchar_t* appName = nullptr);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    const wchar_t* AppName() const { return appName_; }
    HINSTANCE Instance() const { return instance_; }
    HINSTANCE PreviousInstance() const { return previousInstance_; }
    const wchar_t* CommandLine() const { return commandLine_; }
    int ShowCommand() const { return showCommand_; }
    bool IsInitialized() const { return initialized_; }

private:
    friend int WinInit(HINSTANCE, HINSTANCE, LPWSTR, int);

    const wchar_t* appName_ = nullptr;
    HINSTANCE instance_ = nullptr;
    HINSTANCE previousInstance_ = nullptr;
    const wchar_t* commandLine_ = nullptr;
    int showCommand_ = 0;
    bool initialized_ = false;
};

// The application object of this process, or null while none exists.
Application* CurrentApplication();

// Binds the application object to the program's module. Returns nonzero when
// the framework is ready, zero when it is not: no module, no application
// object, or an application object that has been initialised already.
int WinInit(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand);

}  // namespace framework
