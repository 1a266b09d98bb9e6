// The application framework on its own: this test program defines no static
// application object, so each test makes the one it needs.
#include "app_framework.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

HINSTANCE OwnModule()
{
    return ::GetModuleHandleW(nullptr);
}

TEST(app_framework, init_fails_without_an_application_object)
{
    ASSERT_EQ(framework::CurrentApplication(), nullptr);
    EXPECT_EQ(framework::WinInit(OwnModule(), nullptr, ::GetCommandLineW(), 0), 0);
}

TEST(app_framework, application_object_is_current_while_it_lives)
{
    {
        framework::Application app;
        EXPECT_EQ(framework::CurrentApplication(), &app);
        EXPECT_EQ(app.AppName(), nullptr);
        EXPECT_FALSE(app.IsInitialized());
    }
    EXPECT_EQ(framework::CurrentApplication(), nullptr);
    EXPECT_EQ(framework::WinInit(OwnModule(), nullptr, ::GetCommandLineW(), 0), 0);
}

TEST(app_framework, a_second_application_object_does_not_replace_the_first)
{
    framework::Application first;
    {
        framework::Application second(L"second");
        EXPECT_EQ(framework::CurrentApplication(), &first);
        EXPECT_STREQ(second.AppName(), L"second");
    }
    EXPECT_EQ(framework::CurrentApplication(), &first);
    EXPECT_NE(framework::WinInit(OwnModule(), nullptr, ::GetCommandLineW(), 0), 0);
    EXPECT_TRUE(first.IsInitialized());
}

TEST(app_framework, init_records_what_it_is_given)
{
    framework::Application app;
    wchar_t commandLine[] = L"\"QUINTAR.exe\" -a b";
    ASSERT_NE(framework::WinInit(OwnModule(), nullptr, commandLine, SW_SHOWMINIMIZED), 0);
    EXPECT_TRUE(app.IsInitialized());
    EXPECT_EQ(app.Instance(), OwnModule());
    EXPECT_EQ(app.PreviousInstance(), nullptr);
    // The command line is kept as given, not copied.
    EXPECT_EQ(app.CommandLine(), commandLine);
    EXPECT_EQ(app.ShowCommand(), SW_SHOWMINIMIZED);
}

TEST(app_framework, init_refuses_a_null_module)
{
    framework::Application app;
    EXPECT_EQ(framework::WinInit(nullptr, nullptr, ::GetCommandLineW(), 0), 0);
    EXPECT_FALSE(app.IsInitialized());
    EXPECT_EQ(app.Instance(), nullptr);
    EXPECT_EQ(app.CommandLine(), nullptr);
    // A refused attempt leaves the way open for a proper one.
    EXPECT_NE(framework::WinInit(OwnModule(), nullptr, ::GetCommandLineW(), 0), 0);
    EXPECT_EQ(app.Instance(), OwnModule());
}

TEST(app_framework, init_refuses_a_second_initialisation)
{
    framework::Application app;
    wchar_t firstLine[] = L"first";
    wchar_t secondLine[] = L"second";
    ASSERT_NE(framework::WinInit(OwnModule(), nullptr, firstLine, 0), 0);
    const HINSTANCE otherModule = ::GetModuleHandleW(L"kernel32.dll");
    ASSERT_NE(otherModule, nullptr);
    EXPECT_EQ(framework::WinInit(otherModule, nullptr, secondLine, SW_SHOW), 0);
    EXPECT_EQ(app.Instance(), OwnModule());
    EXPECT_EQ(app.CommandLine(), firstLine);
    EXPECT_EQ(app.ShowCommand(), 0);
}

TEST(app_framework, a_new_application_object_starts_uninitialised)
{
    {
        framework::Application earlier;
        ASSERT_NE(framework::WinInit(OwnModule(), nullptr, ::GetCommandLineW(), 0), 0);
    }
    framework::Application later;
    EXPECT_FALSE(later.IsInitialized());
    EXPECT_NE(framework::WinInit(OwnModule(), nullptr, ::GetCommandLineW(), 0), 0);
    EXPECT_TRUE(later.IsInitialized());
}

}  // namespace
