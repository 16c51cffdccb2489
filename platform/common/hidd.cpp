// The HidD_ entry points over a DeviceFile, and the language names for string languages.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/common/backend.h"
#include "platform/hidp/hidp.h"

namespace velto::platform {
namespace {

std::shared_ptr<DeviceFile> fileOf(HANDLE handle) {
    auto file = lookupAs<DeviceFile>(handle);
    if (!file) setError(ERROR_INVALID_HANDLE);
    return file;
}

// Zero-terminated UTF-16 into size bytes; a string that does not fit is cut short but always
// terminated.
BOOLEAN putString(const std::u16string& text, void* buffer, ULONG size) {
    if (!buffer || size < sizeof(WCHAR)) return fail(ERROR_INSUFFICIENT_BUFFER);
    const std::size_t room = size / sizeof(WCHAR) - 1;
    const std::size_t n = std::min(room, text.size());
    auto* out = static_cast<uint8_t*>(buffer);
    std::memcpy(out, text.data(), n * sizeof(WCHAR));
    const WCHAR zero = 0;
    std::memcpy(out + n * sizeof(WCHAR), &zero, sizeof zero);
    return 1;
}

template <class Getter>
BOOLEAN getString(HANDLE handle, void* buffer, ULONG size, Getter get) {
    auto file = fileOf(handle);
    if (!file) return 0;
    std::u16string text;
    if (!(file.get()->*get)(text)) return 0;
    return putString(text, buffer, size);
}

struct Language {
    DWORD id;
    const char* name;
};

constexpr Language kLanguages[] = {
    {0x0401, "Arabic (Saudi Arabia)"},
    {0x0404, "Chinese (Traditional, Taiwan)"},
    {0x0405, "Czech (Czech Republic)"},
    {0x0406, "Danish (Denmark)"},
    {0x0407, "German (Germany)"},
    {0x0408, "Greek (Greece)"},
    {0x0409, "English (United States)"},
    {0x040A, "Spanish (Spain, Traditional Sort)"},
    {0x040B, "Finnish (Finland)"},
    {0x040C, "French (France)"},
    {0x040D, "Hebrew (Israel)"},
    {0x040E, "Hungarian (Hungary)"},
    {0x0410, "Italian (Italy)"},
    {0x0411, "Japanese (Japan)"},
    {0x0412, "Korean (Korea)"},
    {0x0413, "Dutch (Netherlands)"},
    {0x0414, "Norwegian, Bokm\xC3\xA5l (Norway)"},
    {0x0415, "Polish (Poland)"},
    {0x0416, "Portuguese (Brazil)"},
    {0x0419, "Russian (Russia)"},
    {0x041D, "Swedish (Sweden)"},
    {0x041F, "Turkish (Turkey)"},
    {0x0804, "Chinese (Simplified, PRC)"},
    {0x0807, "German (Switzerland)"},
    {0x0809, "English (United Kingdom)"},
    {0x080A, "Spanish (Mexico)"},
    {0x0816, "Portuguese (Portugal)"},
    {0x0C07, "German (Austria)"},
    {0x0C09, "English (Australia)"},
    {0x0C0C, "French (Canada)"},
    {0x1009, "English (Canada)"},
};

}  // namespace
}  // namespace velto::platform

using namespace velto::platform;

extern "C" {

ULONG HidD_Hello(char* buffer, ULONG size) {
    const char* text = backend().hello();
    const ULONG needed = static_cast<ULONG>(std::strlen(text) + 1);
    if (buffer && size > 0) {
        const ULONG n = std::min(size - 1, needed - 1);
        std::memcpy(buffer, text, n);
        buffer[n] = '\0';
    }
    return needed;
}

void HidD_GetHidGuid(GUID* guid) {
    if (!guid) return;
    *guid = GUID{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) {
    if (!data) return fail(ERROR_INVALID_PARAMETER);
    *data = nullptr;
    auto file = fileOf(device);
    if (!file) return 0;
    std::vector<uint8_t> descriptor;
    if (!file->reportDescriptor(descriptor)) return 0;
    *data = hidp::ParseDescriptor(descriptor.data(), descriptor.size());
    if (!*data) return fail(ERROR_GEN_FAILURE);
    return 1;
}

BOOLEAN HidD_GetParseError(HANDLE device, char* buffer, ULONG size) {
    if (!buffer || size == 0) return fail(ERROR_INSUFFICIENT_BUFFER);
    auto file = fileOf(device);
    if (!file) return 0;
    std::vector<uint8_t> descriptor;
    if (!file->reportDescriptor(descriptor)) return 0;
    // Parsed again rather than remembered: the answer is the descriptor's, not a past call's.
    std::string why;
    hidp::FreePreparsedData(hidp::ParseDescriptor(descriptor.data(), descriptor.size(), &why));
    const std::size_t n = std::min<std::size_t>(size - 1, why.size());
    std::memcpy(buffer, why.data(), n);
    buffer[n] = '\0';
    return 1;
}

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
    if (!hidp::FreePreparsedData(data)) return fail(ERROR_INVALID_PARAMETER);
    return 1;
}

BOOLEAN HidD_GetConfiguration(HANDLE device, HIDD_CONFIGURATION*, ULONG) {
    if (!fileOf(device)) return 0;
    return fail(ERROR_NOT_SUPPORTED);
}

BOOLEAN HidD_SetConfiguration(HANDLE device, HIDD_CONFIGURATION*, ULONG) {
    if (!fileOf(device)) return 0;
    return fail(ERROR_NOT_SUPPORTED);
}

BOOLEAN HidD_FlushQueue(HANDLE device) {
    auto file = fileOf(device);
    return file && file->flushQueue();
}

BOOLEAN HidD_GetFeature(HANDLE device, void* report, ULONG size) {
    auto file = fileOf(device);
    if (!file) return 0;
    if (!report || size == 0) return fail(ERROR_INVALID_PARAMETER);
    return file->getFeature(static_cast<uint8_t*>(report), size);
}

BOOLEAN HidD_SetFeature(HANDLE device, void* report, ULONG size) {
    auto file = fileOf(device);
    if (!file) return 0;
    if (!report || size == 0) return fail(ERROR_INVALID_PARAMETER);
    return file->setFeature(static_cast<const uint8_t*>(report), size);
}

BOOLEAN HidD_GetNumInputBuffers(HANDLE device, ULONG* count) {
    auto file = fileOf(device);
    if (!file) return 0;
    if (!count) return fail(ERROR_INVALID_PARAMETER);
    *count = file->numInputBuffers.load();
    return 1;
}

BOOLEAN HidD_SetNumInputBuffers(HANDLE device, ULONG count) {
    auto file = fileOf(device);
    if (!file) return 0;
    if (count < 2 || count > 512) return fail(ERROR_INVALID_PARAMETER);
    file->numInputBuffers = count;
    return 1;
}

BOOLEAN HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) {
    auto file = fileOf(device);
    if (!file) return 0;
    if (!attributes) return fail(ERROR_INVALID_PARAMETER);
    HIDD_ATTRIBUTES found{};
    if (!file->attributes(found)) return 0;
    attributes->VendorID = found.VendorID;
    attributes->ProductID = found.ProductID;
    attributes->VersionNumber = found.VersionNumber;
    return 1;
}

BOOLEAN HidD_GetManufacturerString(HANDLE device, void* buffer, ULONG size) {
    return getString(device, buffer, size, &DeviceFile::manufacturer);
}

BOOLEAN HidD_GetProductString(HANDLE device, void* buffer, ULONG size) {
    return getString(device, buffer, size, &DeviceFile::product);
}

BOOLEAN HidD_GetSerialNumberString(HANDLE device, void* buffer, ULONG size) {
    return getString(device, buffer, size, &DeviceFile::serialNumber);
}

BOOLEAN HidD_GetIndexedString(HANDLE device, ULONG index, void* buffer, ULONG size) {
    auto file = fileOf(device);
    if (!file) return 0;
    std::u16string text;
    if (index == 0) {
        text.assign(1, u'\u0409');  // US English only
    } else if (!file->indexedString(index, text)) {
        return 0;
    }
    return putString(text, buffer, size);
}

BOOLEAN HidD_GetPhysicalDescriptor(HANDLE device, void*, ULONG) {
    if (!fileOf(device)) return 0;
    return fail(ERROR_NOT_SUPPORTED);
}

int GetLocaleInfo(DWORD locale, DWORD type, char* buffer, int size) {
    if (type != LOCALE_SLANGUAGE || size < 0 || (size > 0 && !buffer)) {
        setError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const auto* it = std::find_if(std::begin(kLanguages), std::end(kLanguages),
                                  [&](const Language& l) { return l.id == (locale & 0xFFFF); });
    if (it == std::end(kLanguages)) {
        setError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const int needed = static_cast<int>(std::strlen(it->name) + 1);
    if (size == 0) return needed;
    if (size < needed) {
        setError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, it->name, static_cast<std::size_t>(needed));
    return needed;
}

}  // extern "C"
