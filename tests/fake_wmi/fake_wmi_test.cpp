// The firmware stand-in, driven through COM the way a WMI client drives WMI:
// CoCreateInstance of the administrative locator, ConnectServer,
// CoSetProxyBlanket, ExecQuery, Next, Get.
#include <windows.h>
#include <objbase.h>
#include <wbemcli.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "firmware.h"
#include "owners.h"
#include "test_owners.h"

namespace {

const CLSID kAdministrativeLocator = {0xcb8555cc, 0x9128, 0x11d1, {0xad, 0x9b, 0x00, 0xc0, 0x4f, 0xd8, 0xfd, 0xff}};
const wchar_t kLocatorServerKey[] = L"Software\\Classes\\CLSID\\{CB8555CC-9128-11D1-AD9B-00C04FD8FDFF}\\InprocServer32";

const wchar_t kCimv2[] = L"ROOT\\CIMV2";
const wchar_t kBrevik[] = L"ROOT\\Brevik\\InstrumentedBIOS";
const wchar_t kSerialQuery[] = L"SELECT SerialNumber FROM Win32_BIOS";
const wchar_t kBuildIdQuery[] =
    L"SELECT name,Value FROM Brevik_BIOSSetting WHERE name = \"Enter Build ID\" OR name = \"Build ID\"";
const wchar_t kFeatureByteQuery[] =
    L"SELECT name,Value FROM Brevik_BIOSSetting WHERE name = \"Enter Feature Byte\" OR name = \"Feature Byte\"";

const LONG kInfinite = static_cast<LONG>(WBEM_INFINITE);

HRESULT Hr(unsigned long code)
{
    return static_cast<HRESULT>(code);
}

using kelvane::ComPtr;
using kelvane::UniqueBstr;
using kelvane::UniqueVariant;

// A VARIANT as the tests compare it: its type and, for a BSTR, every unit of it.
std::wstring Describe(const VARIANT& value)
{
    switch (V_VT(&value)) {
    case VT_BSTR:
        return L"BSTR:" + std::wstring(V_BSTR(&value), SysStringLen(V_BSTR(&value)));
    case VT_NULL:
        return L"NULL";
    case VT_EMPTY:
        return L"EMPTY";
    case VT_I4:
        return L"I4:" + std::to_wstring(V_I4(&value));
    default:
        return L"VT:" + std::to_wstring(V_VT(&value));
    }
}

HRESULT CreateLocator(ComPtr<IWbemLocator>& locator)
{
    return CoCreateInstance(
        kAdministrativeLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, locator.put_void());
}

HRESULT Connect(IWbemLocator* locator, const wchar_t* nameSpace, ComPtr<IWbemServices>& services)
{
    const UniqueBstr resource(SysAllocString(nameSpace));
    return locator->ConnectServer(resource.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.put());
}

HRESULT SetBlanket(IWbemServices* services)
{
    return CoSetProxyBlanket(
        services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE,
        nullptr, EOAC_NONE);
}

HRESULT
Exec(IWbemServices* services, const wchar_t* language, const wchar_t* query, ComPtr<IEnumWbemClassObject>& results)
{
    const UniqueBstr languageText(SysAllocString(language));
    const UniqueBstr queryText(SysAllocString(query));
    return services->ExecQuery(
        languageText.get(), queryText.get(), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
        results.put());
}

// Every object's `property`, described, until Next stops delivering.
std::vector<std::wstring> ReadAll(IEnumWbemClassObject* results, const wchar_t* property)
{
    std::vector<std::wstring> values;
    for (;;) {
        ComPtr<IWbemClassObject> object;
        ULONG returned = 0;
        const HRESULT next = results->Next(kInfinite, 1, object.put(), &returned);
        if (returned == 0) {
            EXPECT_EQ(WBEM_S_FALSE, next) << "the end of the results";
            EXPECT_EQ(nullptr, object.get());
            return values;
        }
        EXPECT_EQ(S_OK, next);
        EXPECT_EQ(1u, returned);
        UniqueVariant value;
        const HRESULT get = object->Get(property, 0, value.get(), nullptr, nullptr);
        EXPECT_EQ(S_OK, get) << "property " << property;
        values.push_back(Describe(*value));
    }
}

// One whole query in `nameSpace`, each step expected to succeed.
std::vector<std::wstring> Query(const wchar_t* nameSpace, const wchar_t* query, const wchar_t* property)
{
    ComPtr<IWbemLocator> locator;
    ComPtr<IWbemServices> services;
    ComPtr<IEnumWbemClassObject> results;
    HRESULT result = CreateLocator(locator);
    if (result == S_OK)
        result = Connect(locator.get(), nameSpace, services);
    if (result == S_OK)
        result = SetBlanket(services.get());
    if (result == S_OK)
        result = Exec(services.get(), L"WQL", query, results);
    if (result != S_OK) {
        ADD_FAILURE() << "query " << query << " failed with 0x" << std::hex << static_cast<unsigned long>(result);
        return {};
    }
    return ReadAll(results.get(), property);
}

// Each test runs in the multithreaded apartment, as the firmware reader's queries do.
class fake_wmi : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        comInitialised_ = true;
        firmware::UseScenario("");
    }
    void TearDown() override
    {
        firmware::StopTrace();
        if (comInitialised_)
            CoUninitialize();
    }

private:
    bool comInitialised_ = false;
};

TEST_F(fake_wmi, traces_every_call_of_a_serial_number_query)
{
    firmware::UseScenario("bios SN-0042\n");
    firmware::StartTrace();
    {
        ComPtr<IWbemLocator> locator;
        ASSERT_EQ(S_OK, CreateLocator(locator));
        ComPtr<IWbemServices> services;
        ASSERT_EQ(S_OK, Connect(locator.get(), kCimv2, services));
        ASSERT_EQ(S_OK, SetBlanket(services.get()));
        ComPtr<IEnumWbemClassObject> results;
        ASSERT_EQ(S_OK, Exec(services.get(), L"WQL", kSerialQuery, results));

        ComPtr<IWbemClassObject> object;
        ULONG returned = 7;
        ASSERT_EQ(S_OK, results->Next(kInfinite, 1, object.put(), &returned));
        ASSERT_EQ(1u, returned);
        UniqueVariant value;
        ASSERT_EQ(S_OK, object->Get(L"SerialNumber", 0, value.get(), nullptr, nullptr));
        EXPECT_EQ(L"BSTR:SN-0042", Describe(*value));
        CIMTYPE type = 0;
        LONG flavor = -1;
        UniqueVariant again;
        ASSERT_EQ(S_OK, object->Get(L"serialnumber", 0, again.get(), &type, &flavor));
        EXPECT_EQ(L"BSTR:SN-0042", Describe(*again));
        EXPECT_EQ(CIM_STRING, type);
        // A second reference keeps the object alive: it is released with the last one only.
        EXPECT_EQ(2u, object->AddRef());
        EXPECT_EQ(1u, object->Release());
        object.reset();

        ASSERT_EQ(WBEM_S_FALSE, results->Next(kInfinite, 1, object.put(), &returned));
        EXPECT_EQ(0u, returned);
        EXPECT_EQ(nullptr, object.get());
        services.reset();
        locator.reset();
        results.reset();
    }
    const std::vector<std::string> expected = firmware::SerialQueryTrace(
        1,
        {"get name=SerialNumber flags=0 type=null flavor=null", "get name=serialnumber flags=0 type=set flavor=set"});
    EXPECT_EQ(expected, firmware::TraceLines());
}

TEST_F(fake_wmi, selects_settings_by_quoted_name_in_file_order)
{
    firmware::UseScenario("# Build ID twice, in two spellings\r\n"
                          "setting Enter Build ID|12#SABJ34\r\n"
                          "\r\n"
                          "setting Feature Byte|0x1F\r\n"
                          "bios SN-1\r\n"
                          "setting build id|99#SXYZ\r\n"
                          "setting Unrelated|left alone\r\n");
    EXPECT_EQ((std::vector<std::wstring>{L"BSTR:12#SABJ34", L"BSTR:99#SXYZ"}), Query(kBrevik, kBuildIdQuery, L"Value"));
    EXPECT_EQ(
        (std::vector<std::wstring>{L"BSTR:Enter Build ID", L"BSTR:build id"}), Query(kBrevik, kBuildIdQuery, L"NAME"));
    EXPECT_EQ((std::vector<std::wstring>{L"BSTR:0x1F"}), Query(kBrevik, kFeatureByteQuery, L"value"));
    EXPECT_EQ(
        (std::vector<std::wstring>{L"BSTR:12#SABJ34", L"BSTR:0x1F", L"BSTR:99#SXYZ", L"BSTR:left alone"}),
        Query(kBrevik, L"SELECT * FROM Brevik_BIOSSetting", L"Value"));
    EXPECT_EQ(
        (std::vector<std::wstring>{L"BSTR:left alone"}),
        Query(
            L"root\\brevik\\instrumentedbios", L"select Value from brevik_biossetting where NAME='unrelated'",
            L"Value"));
    EXPECT_EQ(
        (std::vector<std::wstring>{}),
        Query(kBrevik, L"SELECT Value FROM Brevik_BIOSSetting WHERE name = \"Build\"", L"Value"));
    EXPECT_EQ((std::vector<std::wstring>{L"BSTR:SN-1"}), Query(kCimv2, kSerialQuery, L"SerialNumber"));
}

TEST_F(fake_wmi, gives_values_their_variant_types_and_exact_characters)
{
    firmware::UseScenario("bios plain text with  two blanks \n"
                          "bios \n"
                          "bios\n"
                          "bios @null\n"
                          "bios @empty\n"
                          "bios @i4:-42\n"
                          "bios @repeat:100:ab\n"
                          "bios @repeat:2:#S \n"
                          "bios Gr\xC3\xBC\xC3\x9F"
                          "e \xE6\x97\xA5\xE6\x9C\xAC\n"
                          "setting Gr\xC3\xB6\xC3\x9F"
                          "e|@i4:2147483647\n");
    std::wstring twoHundred;
    for (int i = 0; i < 100; ++i)
        twoHundred += L"ab";
    EXPECT_EQ(
        (std::vector<std::wstring>{
            L"BSTR:plain text with  two blanks ", L"BSTR:", L"BSTR:", L"NULL", L"EMPTY", L"I4:-42",
            L"BSTR:" + twoHundred, L"BSTR:#S #S ", L"BSTR:Gr\u00FC\u00DFe \u65E5\u672C"}),
        Query(kCimv2, kSerialQuery, L"SerialNumber"));

    firmware::StartTrace();
    EXPECT_EQ(
        (std::vector<std::wstring>{L"I4:2147483647"}),
        Query(
            kBrevik, L"SELECT Value FROM Brevik_BIOSSetting WHERE name = \"GR\u00D6SSE\" OR name = \"gr\u00F6\u00DFe\"",
            L"Value"));
    const std::vector<std::string> trace = firmware::TraceLines();
    ASSERT_GE(trace.size(), 4u);
    EXPECT_EQ(
        "exec lang=WQL query=SELECT Value FROM Brevik_BIOSSetting WHERE name = \"GR\xC3\x96SSE\" OR name = "
        "\"gr\xC3\xB6\xC3\x9F"
        "e\" flags=0x30 ctx=null",
        trace[3]);
}

TEST_F(fake_wmi, fails_the_calls_the_scenario_names)
{
    {
        SCOPED_TRACE("fail create");
        firmware::UseScenario("fail create 0x80070005\n");
        ComPtr<IWbemLocator> locator;
        EXPECT_EQ(Hr(0x80070005), CreateLocator(locator));
        EXPECT_EQ(nullptr, locator.get());
    }
    {
        SCOPED_TRACE("fail connect, by namespace");
        firmware::UseScenario("bios SN-2\nfail connect 0x80041003 brevik\n");
        firmware::StartTrace();
        {
            ComPtr<IWbemLocator> locator;
            ASSERT_EQ(S_OK, CreateLocator(locator));
            ComPtr<IWbemServices> services;
            EXPECT_EQ(S_OK, Connect(locator.get(), kCimv2, services));
            EXPECT_NE(nullptr, services.get());
            EXPECT_EQ(Hr(0x80041003), Connect(locator.get(), kBrevik, services));
            EXPECT_EQ(nullptr, services.get());
        }
        const std::vector<std::string> expected = {
            "create iid={DC12A687-737F-11CF-884D-00AA004B2E24} outer=null",
            "connect ns=ROOT\\CIMV2 user=null password=null locale=null flags=0 authority=null ctx=null",
            "release services",
            "connect ns=ROOT\\Brevik\\InstrumentedBIOS user=null password=null locale=null flags=0 authority=null "
            "ctx=null",
            "release locator",
        };
        EXPECT_EQ(expected, firmware::TraceLines());
        firmware::StopTrace();
    }
    {
        SCOPED_TRACE("fail blanket, by namespace");
        firmware::UseScenario("fail blanket 0x80070005 cimv2\n");
        ComPtr<IWbemLocator> locator;
        ASSERT_EQ(S_OK, CreateLocator(locator));
        ComPtr<IWbemServices> services;
        ASSERT_EQ(S_OK, Connect(locator.get(), kCimv2, services));
        EXPECT_EQ(Hr(0x80070005), SetBlanket(services.get()));
        ASSERT_EQ(S_OK, Connect(locator.get(), kBrevik, services));
        EXPECT_EQ(S_OK, SetBlanket(services.get()));
    }
    {
        SCOPED_TRACE("fail exec, by query text");
        firmware::UseScenario("setting Build ID|B\nsetting Feature Byte|F\nfail exec 0x80041017 \"build id\"\n");
        ComPtr<IWbemLocator> locator;
        ASSERT_EQ(S_OK, CreateLocator(locator));
        ComPtr<IWbemServices> services;
        ASSERT_EQ(S_OK, Connect(locator.get(), kBrevik, services));
        ComPtr<IEnumWbemClassObject> results;
        EXPECT_EQ(Hr(0x80041017), Exec(services.get(), L"WQL", kBuildIdQuery, results));
        EXPECT_EQ(nullptr, results.get());
        ASSERT_EQ(S_OK, Exec(services.get(), L"WQL", kFeatureByteQuery, results));
        EXPECT_EQ((std::vector<std::wstring>{L"BSTR:F"}), ReadAll(results.get(), L"Value"));
    }
    {
        SCOPED_TRACE("fail next, by call number and query text");
        firmware::UseScenario(
            "setting Enter Build ID|B1\nsetting Build ID|B2\nsetting Feature Byte|F\nfail next 2 Build ID\n");
        ComPtr<IWbemLocator> locator;
        ASSERT_EQ(S_OK, CreateLocator(locator));
        ComPtr<IWbemServices> services;
        ASSERT_EQ(S_OK, Connect(locator.get(), kBrevik, services));
        ComPtr<IEnumWbemClassObject> results;
        ASSERT_EQ(S_OK, Exec(services.get(), L"WQL", kBuildIdQuery, results));
        ComPtr<IWbemClassObject> object;
        ULONG returned = 0;
        EXPECT_EQ(S_OK, results->Next(kInfinite, 1, object.put(), &returned));
        EXPECT_EQ(1u, returned);
        object.reset();
        // A slot holding rubbish must come back empty, not look like an object.
        int rubbish = 0;
        IWbemClassObject* slot = reinterpret_cast<IWbemClassObject*>(&rubbish);
        returned = 7;
        EXPECT_EQ(Hr(0x80041001), results->Next(kInfinite, 1, &slot, &returned));
        EXPECT_EQ(0u, returned);
        EXPECT_EQ(nullptr, slot);
        // The failed call delivered nothing; the enumeration goes on where it was.
        EXPECT_EQ((std::vector<std::wstring>{L"BSTR:B2"}), ReadAll(results.get(), L"Value"));
        ASSERT_EQ(S_OK, Exec(services.get(), L"WQL", kFeatureByteQuery, results));
        EXPECT_EQ((std::vector<std::wstring>{L"BSTR:F"}), ReadAll(results.get(), L"Value"));
    }
}

TEST_F(fake_wmi, refuses_what_wmi_refuses)
{
    firmware::UseScenario("bios SN-3\n");
    ComPtr<IWbemLocator> locator;
    ASSERT_EQ(S_OK, CreateLocator(locator));
    ComPtr<IWbemServices> services;
    EXPECT_EQ(Hr(0x8004100e), Connect(locator.get(), L"ROOT\\default", services));
    EXPECT_EQ(nullptr, services.get());
    ASSERT_EQ(S_OK, Connect(locator.get(), L"root\\cimv2", services));

    ComPtr<IEnumWbemClassObject> results;
    // WBEM_E_INVALID_QUERY_TYPE, as WMI answers a language other than WQL.
    EXPECT_EQ(Hr(0x80041018), Exec(services.get(), L"SQL", kSerialQuery, results));
    EXPECT_EQ(Hr(0x80041010), Exec(services.get(), L"WQL", L"SELECT * FROM Win32_OperatingSystem", results));
    EXPECT_EQ(Hr(0x80041010), Exec(services.get(), L"WQL", kBuildIdQuery, results));
    EXPECT_EQ(Hr(0x80041017), Exec(services.get(), L"WQL", L"SELECT FROM", results));
    EXPECT_EQ(nullptr, results.get());

    ASSERT_EQ(S_OK, Exec(services.get(), L"wql", kSerialQuery, results));
    ComPtr<IWbemClassObject> object;
    ULONG returned = 0;
    ASSERT_EQ(S_OK, results->Next(kInfinite, 1, object.put(), &returned));
    for (const wchar_t* property : {L"Manufacturer", L"Value", L"name"}) {
        UniqueVariant value;
        V_VT(value.get()) = VT_I4;
        V_I4(value.get()) = 7;
        EXPECT_EQ(Hr(0x80041002), object->Get(property, 0, value.get(), nullptr, nullptr)) << property;
        EXPECT_EQ(L"I4:7", Describe(*value)) << "the VARIANT is left as it was";
    }
}

TEST_F(fake_wmi, reads_the_scenario_anew_at_each_connect)
{
    ComPtr<IWbemLocator> locator;
    ASSERT_EQ(S_OK, CreateLocator(locator));
    ComPtr<IWbemServices> services;
    ComPtr<IEnumWbemClassObject> results;

    SetEnvironmentVariableW(L"FAKE_WMI_SCENARIO", nullptr);
    ASSERT_EQ(S_OK, Connect(locator.get(), kCimv2, services));
    ASSERT_EQ(S_OK, Exec(services.get(), L"WQL", kSerialQuery, results));
    EXPECT_EQ((std::vector<std::wstring>{}), ReadAll(results.get(), L"SerialNumber")) << "no scenario";

    SetEnvironmentVariableW(L"FAKE_WMI_SCENARIO", KELVANE_TEST_WORK L"\\no-such-scenario.txt");
    ASSERT_EQ(S_OK, Connect(locator.get(), kCimv2, services));
    ASSERT_EQ(S_OK, Exec(services.get(), L"WQL", kSerialQuery, results));
    EXPECT_EQ((std::vector<std::wstring>{}), ReadAll(results.get(), L"SerialNumber")) << "unreadable scenario";

    firmware::UseScenario("bios first\n");
    ASSERT_EQ(S_OK, Connect(locator.get(), kCimv2, services));
    firmware::UseScenario("bios second\n");
    // The connection keeps what it read; only a new connection sees the change.
    ASSERT_EQ(S_OK, Exec(services.get(), L"WQL", kSerialQuery, results));
    EXPECT_EQ((std::vector<std::wstring>{L"BSTR:first"}), ReadAll(results.get(), L"SerialNumber"));
    ASSERT_EQ(S_OK, Connect(locator.get(), kCimv2, services));
    ASSERT_EQ(S_OK, Exec(services.get(), L"WQL", kSerialQuery, results));
    EXPECT_EQ((std::vector<std::wstring>{L"BSTR:second"}), ReadAll(results.get(), L"SerialNumber"));
}

// The DLL's own entry points, loaded from where the prefix registered it.
TEST(fake_wmi_module, can_unload_only_when_nothing_of_it_lives)
{
    wchar_t path[MAX_PATH] = {};
    DWORD size = sizeof path;
    ASSERT_EQ(
        ERROR_SUCCESS,
        RegGetValueW(HKEY_LOCAL_MACHINE, kLocatorServerKey, nullptr, RRF_RT_REG_SZ, nullptr, path, &size));
    const testing_support::UniqueLibrary module(LoadLibraryW(path));
    ASSERT_NE(nullptr, module.get()) << "error " << GetLastError();
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();
    const auto getClassObject =
        reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(module.get(), "DllGetClassObject")));
    const auto canUnloadNow =
        reinterpret_cast<CanUnloadNowFn>(reinterpret_cast<void*>(GetProcAddress(module.get(), "DllCanUnloadNow")));
    ASSERT_NE(nullptr, getClassObject);
    ASSERT_NE(nullptr, canUnloadNow);

    EXPECT_EQ(S_OK, canUnloadNow());
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(CLSID_WbemLocator, IID_IClassFactory, factory.put_void()));
    ASSERT_EQ(S_OK, getClassObject(kAdministrativeLocator, IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(S_FALSE, canUnloadNow());

    ComPtr<IUnknown> outer;
    EXPECT_EQ(S_OK, factory->QueryInterface(IID_IUnknown, outer.put_void()));
    ComPtr<IUnknown> aggregated;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer.get(), IID_IUnknown, aggregated.put_void()));
    outer.reset();

    ComPtr<IWbemLocator> locator;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IWbemLocator, locator.put_void()));
    ComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, locator->QueryInterface(IID_IUnknown, identity.put_void()));
    EXPECT_EQ(static_cast<IUnknown*>(locator.get()), identity.get());
    ComPtr<IWbemServices> notALocator;
    EXPECT_EQ(E_NOINTERFACE, locator->QueryInterface(IID_IWbemServices, notALocator.put_void()));

    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    identity.reset();
    locator.reset();
    EXPECT_EQ(S_FALSE, canUnloadNow()) << "the factory and the server lock";
    factory.reset();
    EXPECT_EQ(S_FALSE, canUnloadNow()) << "the server lock";
    ASSERT_EQ(S_OK, getClassObject(kAdministrativeLocator, IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    factory.reset();
    EXPECT_EQ(S_OK, canUnloadNow());
}

}  // namespace
