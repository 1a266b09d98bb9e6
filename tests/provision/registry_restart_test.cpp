// Run in two halves around a restart of the Wine server (the prefix's
// "machine"): what a run writes must still be there after the restart.
#include "e2e.h"

using namespace e2e;
using namespace testing_support;

namespace {

constexpr wchar_t kVolatileControl[] = L"SOFTWARE\\KelvaneTest\\VolatileControl";

class KelvaneRestart : public KelvaneTest {
protected:
    // Nothing is removed between the halves.
    void TearDown() override {}
};

}  // namespace

TEST_F(KelvaneRestart, before_restart)
{
    ASSERT_NO_FATAL_FAILURE(CreateKey(kNativeOemKey));
    ASSERT_FALSE(KeyExists(kWow64OemKey));
    ASSERT_NO_FATAL_FAILURE(CreateKey(kVolatileControl, REG_OPTION_VOLATILE));

    const ChildRun run = Run();
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(ReadOobeMode(kWow64OemKey), L"OEMTA");
}

TEST(KelvaneRestartCheck, after_restart)
{
    EXPECT_FALSE(KeyExists(kVolatileControl)) << "the restart did not drop volatile keys: the check proves nothing";
    EXPECT_EQ(ReadOobeMode(kNativeOemKey), L"OEMTA");
    EXPECT_EQ(ReadOobeMode(kWow64OemKey), L"OEMTA") << "the 32-bit key the run created is gone";
    RemoveOfficeKeys();
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KelvaneTest");
    RemoveTree(kProgramDir);
    RemoveTree(kDeployedMarker);
}
