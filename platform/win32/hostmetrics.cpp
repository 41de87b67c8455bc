// Host figures on Windows: the CPU load from the performance counters (PDH), the temperature of
// the first ACPI thermal zone through WMI, the physical memory from GlobalMemoryStatusEx.
#include "platform/hostmetrics.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <pdh.h>
#include <pdhmsg.h>
#include <wbemcli.h>

#include <cmath>
#include <limits>
#include <string>

#include "platform/counternametable.h"
#include "platform/windowsfigures.h"

namespace platform {

static_assert(REGISTRY_MORE_DATA == ERROR_MORE_DATA, "the registry's 'more data' answer");
static_assert(PDH_MORE_DATA_STATUS == static_cast<long>(PDH_MORE_DATA), "PDH's 'more data' answer");

namespace {

constexpr double NOT_READ = std::numeric_limits<double>::quiet_NaN();

// The English counter names are the same on every machine; the path must use the local ones.
constexpr const char* PROCESSOR_OBJECT = "Processor";
constexpr const char* PROCESSOR_TIME_COUNTER = "% Processor Time";
constexpr const char* ENGLISH_NAMES_VALUE = "Counter 009";

CounterNameTable english_counter_names() {
    const CounterNameTable table = load_counter_name_table([](char* buffer, uint32_t* size) {
        DWORD bytes = *size;
        const LONG status = RegQueryValueExA(HKEY_PERFORMANCE_DATA, ENGLISH_NAMES_VALUE, nullptr, nullptr,
                                             reinterpret_cast<BYTE*>(buffer), &bytes);
        *size = bytes;
        return static_cast<long>(status);
    });
    RegCloseKey(HKEY_PERFORMANCE_DATA);
    return table;
}

std::string local_counter_name(const CounterNameTable& table, const char* english_name) {
    return localized_counter_name(table, english_name, [](uint32_t index, char* buffer, uint32_t* size) {
        DWORD characters = *size;
        const PDH_STATUS status = PdhLookupPerfNameByIndexA(nullptr, index, buffer, &characters);
        *size = characters;
        return static_cast<long>(status);
    });
}

// \Processor(_Total)\% Processor Time, in the language of the machine.
std::string total_processor_time_path() {
    const CounterNameTable table = english_counter_names();
    return "\\" + local_counter_name(table, PROCESSOR_OBJECT) + "(_Total)\\" +
           local_counter_name(table, PROCESSOR_TIME_COUNTER);
}

}  // namespace

struct CpuLoadMeter::Source {
    PDH_HQUERY query = nullptr;
    PDH_HCOUNTER counter = nullptr;
};

CpuLoadMeter::CpuLoadMeter() : source_(std::make_unique<Source>()) {
    if (PdhOpenQueryA(nullptr, 0, &source_->query) != ERROR_SUCCESS) {
        source_->query = nullptr;
        return;
    }
    const std::string path = total_processor_time_path();
    if (PdhAddCounterA(source_->query, path.c_str(), 0, &source_->counter) != ERROR_SUCCESS) {
        source_->counter = nullptr;
        return;
    }
    // A rate counter needs a first sample to measure from.
    PdhCollectQueryData(source_->query);
}

CpuLoadMeter::~CpuLoadMeter() {
    if (source_->query) PdhCloseQuery(source_->query);
}

double CpuLoadMeter::read() {
    if (source_->counter == nullptr || PdhCollectQueryData(source_->query) != ERROR_SUCCESS) return NOT_READ;
    PDH_FMT_COUNTERVALUE value{};
    if (PdhGetFormattedCounterValue(source_->counter, PDH_FMT_DOUBLE, nullptr, &value) != ERROR_SUCCESS ||
        (value.CStatus != PDH_CSTATUS_VALID_DATA && value.CStatus != PDH_CSTATUS_NEW_DATA))
        return NOT_READ;
    return value.doubleValue;
}

namespace {

// The WMI classes and interfaces, named here so that no GUID library is needed.
const CLSID WBEM_ADMINISTRATIVE_LOCATOR = {0xCB8555CC, 0x9128, 0x11D1,
                                           {0xAD, 0x9B, 0x00, 0xC0, 0x4F, 0xD8, 0xFD, 0xFF}};
const IID WBEM_LOCATOR_INTERFACE = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

// Bounds the wait for the first zone: the sampler's round must end, whatever WMI does.
constexpr long ZONE_WAIT_MS = 2000;

template <typename Interface>
void release(Interface*& object) {
    if (object) object->Release();
    object = nullptr;
}

// A BSTR owned for the length of a call.
class OwnedBstr {
public:
    explicit OwnedBstr(const wchar_t* text) : text_(SysAllocString(text)) {}
    ~OwnedBstr() { SysFreeString(text_); }
    OwnedBstr(const OwnedBstr&) = delete;
    OwnedBstr& operator=(const OwnedBstr&) = delete;
    BSTR get() const { return text_; }

private:
    BSTR text_;
};

IWbemClassObject* first_thermal_zone() {
    IWbemLocator* locator = nullptr;
    if (FAILED(CoCreateInstance(WBEM_ADMINISTRATIVE_LOCATOR, nullptr, CLSCTX_INPROC_SERVER, WBEM_LOCATOR_INTERFACE,
                                reinterpret_cast<void**>(&locator))))
        return nullptr;
    IWbemServices* services = nullptr;
    const OwnedBstr name_space(L"root\\WMI");
    const HRESULT connected =
        locator->ConnectServer(name_space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
    release(locator);
    if (FAILED(connected)) return nullptr;
    IEnumWbemClassObject* zones = nullptr;
    const OwnedBstr language(L"WQL");
    const OwnedBstr query(L"SELECT * FROM MSAcpi_ThermalZoneTemperature");
    const HRESULT queried = services->ExecQuery(language.get(), query.get(),
                                                WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, &zones);
    release(services);
    if (FAILED(queried)) return nullptr;
    IWbemClassObject* zone = nullptr;
    ULONG returned = 0;
    const HRESULT taken = zones->Next(ZONE_WAIT_MS, 1, &zone, &returned);
    release(zones);
    if (taken != WBEM_S_NO_ERROR || returned != 1) {
        release(zone);
        return nullptr;
    }
    return zone;
}

float zone_celsius(IWbemClassObject* zone) {
    VARIANT value;
    VariantInit(&value);
    float celsius = std::numeric_limits<float>::quiet_NaN();
    if (SUCCEEDED(zone->Get(L"CurrentTemperature", 0, &value, nullptr, nullptr)) &&
        SUCCEEDED(VariantChangeType(&value, &value, 0, VT_I4)))
        celsius = celsius_from_tenths_of_kelvin(V_I4(&value));
    VariantClear(&value);
    return celsius;
}

bool read_zone_temperature(float* celsius) {
    // Set once per process; a later call answers RPC_E_TOO_LATE, which is no failure for us.
    const HRESULT security = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                  RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    if (FAILED(security) && security != RPC_E_TOO_LATE) return false;
    IWbemClassObject* zone = first_thermal_zone();
    if (zone == nullptr) return false;
    const float read = zone_celsius(zone);
    release(zone);
    if (std::isnan(read)) return false;
    *celsius = read;
    return true;
}

}  // namespace

bool read_cpu_temperature(float* celsius) {
    if (celsius == nullptr) return false;
    const bool initialised_here = SUCCEEDED(CoInitialize(nullptr));
    const bool read = read_zone_temperature(celsius);
    if (initialised_here) CoUninitialize();
    return read;
}

bool read_memory_status(MemoryStatus* out) {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return false;
    out->total_bytes = status.ullTotalPhys;
    out->available_bytes = status.ullAvailPhys;
    return true;
}

}  // namespace platform
