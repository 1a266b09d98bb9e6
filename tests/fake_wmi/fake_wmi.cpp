// The firmware stand-in: WMI's administrative locator as far as a firmware
// reader sees it. A locator connects to "ROOT\CIMV2" (Win32_BIOS) or
// "ROOT\Brevik\InstrumentedBIOS" (Brevik_BIOSSetting); the services run WQL
// queries over the objects of the test's scenario; every call is traced.
#include <windows.h>
#include <objbase.h>
#include <wbemcli.h>

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "scenario.h"
#include "trace.h"
#include "wql.h"

namespace fake_wmi {
namespace {

// {CB8555CC-9128-11D1-AD9B-00C04FD8FDFF}, the class the test prefix points at this DLL.
const CLSID kAdministrativeLocator = {0xcb8555cc, 0x9128, 0x11d1, {0xad, 0x9b, 0x00, 0xc0, 0x4f, 0xd8, 0xfd, 0xff}};

const wchar_t kCimv2Namespace[] = L"ROOT\\CIMV2";
const wchar_t kBrevikNamespace[] = L"ROOT\\Brevik\\InstrumentedBIOS";
const wchar_t kBiosClass[] = L"Win32_BIOS";
const wchar_t kSettingClass[] = L"Brevik_BIOSSetting";

// Live objects and server locks: COM may unload the DLL only when none is left.
LONG g_moduleReferences = 0;

HRESULT Code(WBEMSTATUS status)
{
    return static_cast<HRESULT>(status);
}

struct ModuleReference {
    ModuleReference() { InterlockedIncrement(&g_moduleReferences); }
    ~ModuleReference() { InterlockedDecrement(&g_moduleReferences); }
    ModuleReference(const ModuleReference&) = delete;
    ModuleReference& operator=(const ModuleReference&) = delete;
};

template <typename Interface>
HRESULT Hand(Interface* object, void** ppv)
{
    object->AddRef();
    *ppv = object;
    return S_OK;
}

std::wstring Text(const wchar_t* text)
{
    return text == nullptr ? std::wstring() : std::wstring(text);
}

// One firmware object, as a result of a query.
class ClassObject final : public IWbemClassObject {
public:
    ClassObject(Record record, std::vector<BrokenPromise> broken)
        : record_(std::move(record)), broken_(std::move(broken))
    {
    }
    ClassObject(const ClassObject&) = delete;
    ClassObject& operator=(const ClassObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWbemClassObject))
            return Hand(this, ppv);
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0) {
            Trace(L"release object");
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) override
    {
        Trace(
            L"get name=" + TextOrNull(wszName) + L" flags=" + std::to_wstring(lFlags) + L" type=" + SetOrNull(pType) +
            L" flavor=" + SetOrNull(plFlavor));
        if (wszName == nullptr)
            return Code(WBEM_E_INVALID_PARAMETER);
        if (BreaksPromise(broken_, Promise::Get)) {
            if (pVal != nullptr)
                VariantInit(pVal);
            return S_OK;
        }
        Value nameValue;
        const Value* value = nullptr;
        if (record_.cls == FirmwareClass::Bios && EqualsNoCase(wszName, L"SerialNumber")) {
            value = &record_.value;
        } else if (record_.cls == FirmwareClass::Setting && EqualsNoCase(wszName, L"Value")) {
            value = &record_.value;
        } else if (record_.cls == FirmwareClass::Setting && EqualsNoCase(wszName, L"name")) {
            nameValue.text = record_.name;
            value = &nameValue;
        }
        // An unknown property leaves the caller's VARIANT as it was, as WMI does.
        if (value == nullptr)
            return Code(WBEM_E_NOT_FOUND);
        if (pVal != nullptr) {
            const HRESULT filled = Fill(*value, pVal);
            if (FAILED(filled))
                return filled;
        }
        if (pType != nullptr)
            *pType = value->kind == ValueKind::Int32 ? CIM_SINT32 : CIM_STRING;
        if (plFlavor != nullptr)
            *plFlavor = WBEM_FLAVOR_ORIGIN_LOCAL;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE EndEnumeration() override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return Code(WBEM_E_NOT_SUPPORTED); }

private:
    ~ClassObject() = default;

    static HRESULT Fill(const Value& value, VARIANT* out)
    {
        VariantInit(out);
        switch (value.kind) {
        case ValueKind::Text: {
            const BSTR text = SysAllocStringLen(value.text.data(), static_cast<UINT>(value.text.size()));
            if (text == nullptr)
                return Code(WBEM_E_OUT_OF_MEMORY);
            V_VT(out) = VT_BSTR;
            V_BSTR(out) = text;
            break;
        }
        case ValueKind::Null:
            V_VT(out) = VT_NULL;
            break;
        case ValueKind::Empty:
            break;
        case ValueKind::Int32:
            V_VT(out) = VT_I4;
            V_I4(out) = value.number;
            break;
        }
        return S_OK;
    }

    ModuleReference module_;
    LONG refs_ = 1;
    const Record record_;
    const std::vector<BrokenPromise> broken_;
};

// The result set of one query: forward only, one pass.
class Enumerator final : public IEnumWbemClassObject {
public:
    Enumerator(std::vector<Record> records, std::vector<ULONG> failingCalls, std::vector<BrokenPromise> broken)
        : records_(std::move(records)), failingCalls_(std::move(failingCalls)), broken_(std::move(broken))
    {
    }
    Enumerator(const Enumerator&) = delete;
    Enumerator& operator=(const Enumerator&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumWbemClassObject))
            return Hand(this, ppv);
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0) {
            Trace(L"release enumerator");
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE
    Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects, ULONG* puReturned) override
    {
        HRESULT result = S_OK;
        ULONG returned = 0;
        if (apObjects == nullptr || puReturned == nullptr) {
            result = Code(WBEM_E_INVALID_PARAMETER);
        } else if (BreaksPromise(broken_, Promise::Next)) {
            // Success, and nothing handed out.
        } else if (BreaksPromise(broken_, Promise::Phantom)) {
            // One object reported, none handed out.
            apObjects[0] = nullptr;
            returned = 1;
        } else if (IsFailingCall(++calls_)) {
            // A provider that breaks down mid-enumeration: nothing delivered, and
            // the objects not yet delivered stay in place.
            result = Code(WBEM_E_FAILED);
        } else {
            while (returned < uCount && position_ < records_.size()) {
                ClassObject* object = new (std::nothrow) ClassObject(records_[position_], broken_);
                if (object == nullptr)
                    break;
                apObjects[returned++] = object;
                ++position_;
            }
            result = returned == uCount ? S_OK : Code(WBEM_S_FALSE);
        }
        if (puReturned != nullptr)
            *puReturned = returned;
        // Slots not filled hold no stale pointer that a careless caller might release.
        if (apObjects != nullptr) {
            for (ULONG slot = returned; slot < uCount; ++slot)
                apObjects[slot] = nullptr;
        }
        Trace(
            L"next timeout=" + Hex(static_cast<std::uint32_t>(lTimeout)) + L" count=" + std::to_wstring(uCount) +
            L" returned=" + std::to_wstring(returned) + L" hr=" + Hex(static_cast<std::uint32_t>(result)));
        return result;
    }

    HRESULT STDMETHODCALLTYPE Reset() override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return Code(WBEM_E_NOT_SUPPORTED); }

private:
    ~Enumerator() = default;

    bool IsFailingCall(ULONG call) const
    {
        for (ULONG failing : failingCalls_) {
            if (failing == call)
                return true;
        }
        return false;
    }

    ModuleReference module_;
    LONG refs_ = 1;
    const std::vector<Record> records_;
    const std::vector<ULONG> failingCalls_;
    const std::vector<BrokenPromise> broken_;
    std::size_t position_ = 0;
    ULONG calls_ = 0;
};

// A connection to one namespace. It answers IClientSecurity because
// CoSetProxyBlanket on an in-process object goes straight to that interface.
class Services final : public IWbemServices, public IClientSecurity {
public:
    Services(std::wstring nameSpace, FirmwareClass served, Scenario scenario)
        : namespace_(std::move(nameSpace)), served_(served), scenario_(std::move(scenario))
    {
    }
    Services(const Services&) = delete;
    Services& operator=(const Services&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWbemServices)) {
            return Hand(static_cast<IWbemServices*>(this), ppv);
        }
        if (IsEqualIID(riid, IID_IClientSecurity))
            return Hand(static_cast<IClientSecurity*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0) {
            Trace(L"release services");
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    // IClientSecurity
    HRESULT STDMETHODCALLTYPE SetBlanket(
        IUnknown*, DWORD dwAuthnSvc, DWORD dwAuthzSvc, OLECHAR* pServerPrincName, DWORD dwAuthnLevel, DWORD dwImpLevel,
        void* pAuthInfo, DWORD dwCapabilities) override
    {
        // COLE_DEFAULT_PRINCIPAL is a marker, not a text to read.
        const std::wstring principal =
            pServerPrincName == COLE_DEFAULT_PRINCIPAL ? std::wstring(L"default") : TextOrNull(pServerPrincName);
        Trace(
            L"blanket authn=" + std::to_wstring(dwAuthnSvc) + L" authz=" + std::to_wstring(dwAuthzSvc) +
            L" principal=" + principal + L" level=" + std::to_wstring(dwAuthnLevel) + L" imp=" +
            std::to_wstring(dwImpLevel) + L" authinfo=" + SetOrNull(pAuthInfo) + L" caps=" +
            std::to_wstring(dwCapabilities));
        if (const FailRule* rule = FindFailure(scenario_, FailPoint::Blanket, namespace_))
            return rule->result;
        authnService_ = dwAuthnSvc;
        authzService_ = dwAuthzSvc;
        authnLevel_ = dwAuthnLevel;
        impLevel_ = dwImpLevel;
        capabilities_ = dwCapabilities;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryBlanket(
        IUnknown*, DWORD* pAuthnSvc, DWORD* pAuthzSvc, OLECHAR** pServerPrincName, DWORD* pAuthnLevel, DWORD* pImpLevel,
        void** pAuthInfo, DWORD* pCapabilites) override
    {
        if (pAuthnSvc != nullptr)
            *pAuthnSvc = authnService_;
        if (pAuthzSvc != nullptr)
            *pAuthzSvc = authzService_;
        if (pServerPrincName != nullptr)
            *pServerPrincName = nullptr;
        if (pAuthnLevel != nullptr)
            *pAuthnLevel = authnLevel_;
        if (pImpLevel != nullptr)
            *pImpLevel = impLevel_;
        if (pAuthInfo != nullptr)
            *pAuthInfo = nullptr;
        if (pCapabilites != nullptr)
            *pCapabilites = capabilities_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown* pProxy, IUnknown** ppCopy) override
    {
        if (ppCopy == nullptr)
            return E_POINTER;
        *ppCopy = nullptr;
        if (pProxy == nullptr)
            return E_INVALIDARG;
        // There is no proxy in process: the copy is the object itself.
        pProxy->AddRef();
        *ppCopy = pProxy;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE ExecQuery(
        const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags, IWbemContext* pCtx,
        IEnumWbemClassObject** ppEnum) override
    {
        Trace(
            L"exec lang=" + TextOrNull(strQueryLanguage) + L" query=" + TextOrNull(strQuery) + L" flags=" +
            Hex(static_cast<std::uint32_t>(lFlags)) + L" ctx=" + SetOrNull(pCtx));
        if (ppEnum == nullptr)
            return Code(WBEM_E_INVALID_PARAMETER);
        *ppEnum = nullptr;
        const std::wstring query = Text(strQuery);
        if (const FailRule* rule = FindFailure(scenario_, FailPoint::Exec, query))
            return rule->result;
        if (BreaksPromise(scenario_.broken, Promise::Exec))
            return S_OK;
        if (!EqualsNoCase(Text(strQueryLanguage), L"WQL"))
            return Code(WBEM_E_INVALID_QUERY_TYPE);
        WqlQuery parsed;
        if (!ParseWql(query, parsed))
            return Code(WBEM_E_INVALID_QUERY);
        const wchar_t* servedClass = served_ == FirmwareClass::Bios ? kBiosClass : kSettingClass;
        if (!EqualsNoCase(parsed.className, servedClass))
            return Code(WBEM_E_INVALID_CLASS);
        // Win32_BIOS objects carry no name to select on.
        if (parsed.hasWhere && served_ != FirmwareClass::Setting)
            return Code(WBEM_E_INVALID_QUERY);

        std::vector<Record> selected;
        for (const Record& record : scenario_.records) {
            if (record.cls == served_ && (!parsed.hasWhere || NameIsOneOf(record.name, parsed.names))) {
                selected.push_back(record);
            }
        }
        std::vector<ULONG> failingCalls;
        for (const FailRule& rule : scenario_.failures) {
            if (rule.point == FailPoint::Next && ContainsNoCase(query, rule.filter))
                failingCalls.push_back(rule.nextCall);
        }
        Enumerator* enumerator =
            new (std::nothrow) Enumerator(std::move(selected), std::move(failingCalls), scenario_.broken);
        if (enumerator == nullptr)
            return Code(WBEM_E_OUT_OF_MEMORY);
        *ppEnum = enumerator;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE
    OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override { return Code(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**, IWbemCallResult**) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE
    ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE
    ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE ExecMethod(
        const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemClassObject**, IWbemCallResult**) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE
    ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemObjectSink*) override
    {
        return Code(WBEM_E_NOT_SUPPORTED);
    }

private:
    ~Services() = default;

    static bool NameIsOneOf(const std::wstring& name, const std::vector<std::wstring>& names)
    {
        for (const std::wstring& candidate : names) {
            if (EqualsNoCase(name, candidate))
                return true;
        }
        return false;
    }

    ModuleReference module_;
    LONG refs_ = 1;
    const std::wstring namespace_;
    const FirmwareClass served_;
    const Scenario scenario_;
    DWORD authnService_ = RPC_C_AUTHN_WINNT;
    DWORD authzService_ = RPC_C_AUTHZ_NONE;
    DWORD authnLevel_ = RPC_C_AUTHN_LEVEL_CONNECT;
    DWORD impLevel_ = RPC_C_IMP_LEVEL_IMPERSONATE;
    DWORD capabilities_ = EOAC_NONE;
};

class Locator final : public IWbemLocator {
public:
    Locator() = default;
    Locator(const Locator&) = delete;
    Locator& operator=(const Locator&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWbemLocator))
            return Hand(this, ppv);
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0) {
            Trace(L"release locator");
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE ConnectServer(
        const BSTR strNetworkResource, const BSTR strUser, const BSTR strPassword, const BSTR strLocale,
        LONG lSecurityFlags, const BSTR strAuthority, IWbemContext* pCtx, IWbemServices** ppNamespace) override
    {
        Trace(
            L"connect ns=" + TextOrNull(strNetworkResource) + L" user=" + TextOrNull(strUser) + L" password=" +
            TextOrNull(strPassword) + L" locale=" + TextOrNull(strLocale) + L" flags=" +
            std::to_wstring(lSecurityFlags) + L" authority=" + TextOrNull(strAuthority) + L" ctx=" + SetOrNull(pCtx));
        if (ppNamespace == nullptr)
            return Code(WBEM_E_INVALID_PARAMETER);
        *ppNamespace = nullptr;
        // The scenario is read here, not kept: a test may change it between queries.
        Scenario scenario = LoadScenario();
        for (unsigned line : scenario.badLines)
            Trace(L"scenario bad line=" + std::to_wstring(line));
        const std::wstring nameSpace = Text(strNetworkResource);
        if (const FailRule* rule = FindFailure(scenario, FailPoint::Connect, nameSpace))
            return rule->result;
        if (BreaksPromise(scenario.broken, Promise::Connect))
            return S_OK;
        if (!scenario.probe.empty()) {
            const HMODULE probe = LoadLibraryW(scenario.probe.c_str());
            wchar_t path[MAX_PATH] = {};
            if (probe != nullptr)
                GetModuleFileNameW(probe, path, MAX_PATH);
            Trace(L"probe loaded=" + std::wstring(probe != nullptr ? path : L"none"));
            if (probe != nullptr)
                FreeLibrary(probe);
        }
        FirmwareClass served = FirmwareClass::Bios;
        if (EqualsNoCase(nameSpace, kCimv2Namespace)) {
            served = FirmwareClass::Bios;
        } else if (EqualsNoCase(nameSpace, kBrevikNamespace)) {
            served = FirmwareClass::Setting;
        } else {
            return Code(WBEM_E_INVALID_NAMESPACE);
        }
        Services* services = new (std::nothrow) Services(nameSpace, served, std::move(scenario));
        if (services == nullptr)
            return Code(WBEM_E_OUT_OF_MEMORY);
        *ppNamespace = services;
        return S_OK;
    }

private:
    ~Locator() = default;

    ModuleReference module_;
    LONG refs_ = 1;
};

class ClassFactory final : public IClassFactory {
public:
    ClassFactory() = default;
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory))
            return Hand(this, ppv);
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override
    {
        if (ppvObject == nullptr)
            return E_POINTER;
        *ppvObject = nullptr;
        Trace(L"create iid=" + GuidText(riid) + L" outer=" + SetOrNull(pUnkOuter));
        const Scenario scenario = LoadScenario();
        if (const FailRule* rule = FindFailure(scenario, FailPoint::Create, std::wstring()))
            return rule->result;
        if (BreaksPromise(scenario.broken, Promise::Create))
            return S_OK;
        if (pUnkOuter != nullptr)
            return CLASS_E_NOAGGREGATION;
        Locator* locator = new (std::nothrow) Locator();
        if (locator == nullptr)
            return E_OUTOFMEMORY;
        const HRESULT result = locator->QueryInterface(riid, ppvObject);
        locator->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override
    {
        if (fLock) {
            InterlockedIncrement(&g_moduleReferences);
        } else {
            InterlockedDecrement(&g_moduleReferences);
        }
        return S_OK;
    }

private:
    ~ClassFactory() = default;

    ModuleReference module_;
    LONG refs_ = 1;
};

}  // namespace
}  // namespace fake_wmi

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, fake_wmi::kAdministrativeLocator))
        return CLASS_E_CLASSNOTAVAILABLE;
    if (fake_wmi::BreaksPromise(fake_wmi::LoadScenario().broken, fake_wmi::Promise::ClassObject))
        return S_OK;
    fake_wmi::ClassFactory* factory = new (std::nothrow) fake_wmi::ClassFactory();
    if (factory == nullptr)
        return E_OUTOFMEMORY;
    const HRESULT result = factory->QueryInterface(riid, ppv);
    factory->Release();
    return result;
}

// Whatever is still alive when the DLL goes was handed out and never released.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_DETACH) {
        fake_wmi::Ledger(L"live " + std::to_wstring(InterlockedCompareExchange(&fake_wmi::g_moduleReferences, 0, 0)));
    }
    return TRUE;
}

STDAPI DllCanUnloadNow(void)
{
    return InterlockedCompareExchange(&fake_wmi::g_moduleReferences, 0, 0) == 0 ? S_OK : S_FALSE;
}
