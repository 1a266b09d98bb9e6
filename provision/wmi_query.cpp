#include "wmi_query.h"

#include "owners.h"
#include "run_log.h"
#include "system_calls.h"

#include <wbemcli.h>

namespace kelvane {
namespace {

constexpr wchar_t kSecurityFailed[] = L"Failed to initialize security. Error code = 0x%x\n";
constexpr wchar_t kLocatorFailed[] = L"Failed to create IWbemLocator object. Error code = 0x%x\n";
constexpr wchar_t kConnectFailed[] = L"Could not connect. Error code = 0x%x\n";
constexpr wchar_t kBlanketFailed[] = L"Could not set proxy blanket. Error code = 0x%x\n";
constexpr wchar_t kQueryFailedLine[] = L"Query for operating system name failed. Error code = 0x%x\n";
constexpr wchar_t kStringAllocFailed[] = L"Could not allocate a query string. Error code = 0x%x\n";

// WMI's administrative locator class, IWbemLocator and IClassFactory, spelled
// out so the program needs no import library for them.
constexpr CLSID kWbemAdministrativeLocator = {
    0xcb8555cc, 0x9128, 0x11d1, {0xad, 0x9b, 0x00, 0xc0, 0x4f, 0xd8, 0xfd, 0xff}};
constexpr IID kIidWbemLocator = {0xdc12a687, 0x737f, 0x11cf, {0x88, 0x4d, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};
constexpr IID kIidClassFactory = {0x00000001, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// A call that reports success without handing out its object has broken its
// promise: the step fails as if the call had.
template <typename Pointer>
HRESULT HandedOut(HRESULT hr, const Pointer& object)
{
    return SUCCEEDED(hr) && !object ? E_POINTER : hr;
}

int Fail(const wchar_t* message, HRESULT hr)
{
    Print(message, static_cast<unsigned int>(hr));
    return kQueryFailed;
}

// The value's text: its string member up to the first NUL. Anything that is
// not a string (null, empty, a number) counts as an empty text.
const wchar_t* TextOf(const VARIANT& value)
{
    if (V_VT(&value) != VT_BSTR || V_BSTR(&value) == nullptr)
        return L"";
    return V_BSTR(&value);
}

}  // namespace

void JoinValue(ValueBuffer& buffer, const wchar_t* value)
{
    if (buffer.text[0] == L'\0') {
        CopyBounded(buffer.text, kValueUnits, value);
        return;
    }
    std::size_t used = BoundedLength(buffer.text, kValueUnits - 1);
    if (used + 1 < kValueUnits)
        buffer.text[used++] = L',';
    CopyBounded(buffer.text + used, kValueUnits - used, value);
}

int WmiPropertyQuery(const wchar_t* wmiNamespace, const wchar_t* query, const wchar_t* property, ValueBuffer& buffer)
{
    // The caller initialised COM; the query ends it on every path, through
    // this guard. Owners go in reverse order of declaration, which is the order
    // WMI clients release them: the services, the locator, the enumerator, and
    // COM itself last.
    CoUninitializeOnExit com;
    ComPtr<IEnumWbemClassObject> enumerator;
    ComPtr<IWbemLocator> locator;
    ComPtr<IWbemServices> services;

    // Step 1: process-wide COM security.
    HRESULT hr = KELVANE_SYSCALL(CoInitializeSecurity)(
        nullptr,                      // no security descriptor
        -1,                           // COM chooses the authentication services
        nullptr,                      // ...and their list
        nullptr,                      // reserved
        RPC_C_AUTHN_LEVEL_CONNECT,    // authenticate on connect
        RPC_C_IMP_LEVEL_IMPERSONATE,  // WMI may impersonate us
        nullptr,                      // no authentication list
        EOAC_NONE,                    // no extra capabilities
        nullptr);                     // reserved
    // Windows sets a process's COM security once: a repeat answers
    // RPC_E_TOO_LATE, and the security in force is what the earlier call set.
    if (FAILED(hr) && hr != RPC_E_TOO_LATE)
        return Fail(kSecurityFailed, hr);

    // Step 2: the locator, in process. Its class object is asked for first and
    // checked: a provider that reports success without handing one out would
    // otherwise crash COM's own instance creation.
    {
        ComPtr<IClassFactory> factory;
        hr = ::CoGetClassObject(
            kWbemAdministrativeLocator,  // WMI's administrative locator
            CLSCTX_INPROC_SERVER,        // in this process
            nullptr,                     // on this machine
            kIidClassFactory,            // its class factory
            factory.put_void());
        hr = HandedOut(hr, factory);
        if (SUCCEEDED(hr))
            hr = factory->CreateInstance(
                nullptr,          // not aggregated
                kIidWbemLocator,  // the locator interface
                locator.put_void());
    }
    hr = HandedOut(hr, locator);
    if (FAILED(hr))
        return Fail(kLocatorFailed, hr);

    // Step 3: connect to the namespace as ourselves.
    {
        UniqueBstr nsText(KELVANE_SYSCALL(SysAllocString)(wmiNamespace));
        if (!nsText)
            return Fail(kStringAllocFailed, E_OUTOFMEMORY);
        hr = locator->ConnectServer(
            nsText.get(),  // namespace
            nullptr,       // user: the caller's own identity
            nullptr,       // password
            nullptr,       // locale: the default
            0,             // security flags
            nullptr,       // authority
            nullptr,       // context
            services.put());
    }
    hr = HandedOut(hr, services);
    if (FAILED(hr))
        return Fail(kConnectFailed, hr);

    // Step 4: let WMI impersonate us on calls through the services proxy.
    hr = ::CoSetProxyBlanket(
        services.get(),               // the proxy
        RPC_C_AUTHN_WINNT,            // NTLM authentication
        RPC_C_AUTHZ_NONE,             // no authorisation service
        nullptr,                      // no server principal name
        RPC_C_AUTHN_LEVEL_CALL,       // authenticate every call
        RPC_C_IMP_LEVEL_IMPERSONATE,  // WMI may impersonate us
        nullptr,                      // the current identity
        EOAC_NONE);                   // no extra capabilities
    if (FAILED(hr))
        return Fail(kBlanketFailed, hr);

    // Step 5: run the query, forward only, results as they come.
    {
        UniqueBstr language(KELVANE_SYSCALL(SysAllocString)(L"WQL"));
        if (!language)
            return Fail(kStringAllocFailed, E_OUTOFMEMORY);
        UniqueBstr queryText(KELVANE_SYSCALL(SysAllocString)(query));
        if (!queryText)
            return Fail(kStringAllocFailed, E_OUTOFMEMORY);
        hr = services->ExecQuery(
            language.get(), queryText.get(), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
            nullptr,  // no context
            enumerator.put());
    }
    hr = HandedOut(hr, enumerator);
    if (FAILED(hr))
        return Fail(kQueryFailedLine, hr);

    // Step 6: join the property of every object. The end of the results, a
    // failing Next and a Next that counts an object it does not hand out all
    // end the loop.
    for (;;) {
        ComPtr<IWbemClassObject> object;
        ULONG returned = 0;
        enumerator->Next(static_cast<long>(WBEM_INFINITE), 1, object.put(), &returned);
        if (returned == 0 || !object)
            break;
        UniqueVariant value;
        object->Get(property, 0, value.get(), nullptr, nullptr);
        JoinValue(buffer, TextOf(*value));
    }
    return kQueryOk;
}

}  // namespace kelvane
