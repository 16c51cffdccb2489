// sysfs reading for the hidraw backend. Every value is untrusted text: bounded reads, checked
// parsing, nothing assumed about the tree's shape beyond what is found.
#include "platform/hidraw/sysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>

namespace velto::hidraw {
namespace {

std::mutex rootsMutex;
Roots currentRoots;

// The kernel's limit for a report descriptor.
constexpr std::size_t kMaxDescriptor = 4096;

std::optional<std::string> readFile(const std::string& path, std::size_t limit = 4096) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::string data;
    char chunk[1024];
    while (data.size() < limit) {
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, limit - data.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        data.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string readValue(const std::string& path) {
    return trimmed(readFile(path).value_or(""));
}

// Numbers are taken only in the form the kernel writes them: no sign, no blanks, no "0x", and
// exactly the digits its format gives. Anything else is not a value the kernel wrote.

// Exactly `digits` hexadecimal digits in one case, as "%0<digits>x" or "%0<digits>X" prints.
bool parseFixedHex(std::string_view text, std::size_t digits, bool upper, uint32_t& value) {
    if (text.size() != digits || digits > 8) return false;
    uint32_t v = 0;
    for (char c : text) {
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        if (upper && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        if (!upper && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        if (d < 0) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    value = v;
    return true;
}

// A positive number as "%d" prints it: decimal digits without a leading zero.
bool parseDec(std::string_view text, uint32_t& value) {
    if (text.empty() || text.size() > 9 || text[0] == '0') return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    value = v;
    return true;
}

// A number attribute: the kernel's text and its line end.
std::string readNumber(const std::string& path) {
    std::string text = readFile(path, 32).value_or("");
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

std::optional<std::string> realPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved)) return std::nullopt;
    return std::string(resolved);
}

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

std::string parentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// HID_PHYS names the interface too ("usb-0000:00:14.0-1/input0"); a unit's place is the same
// for all its interfaces and modes.
std::string physWithoutInput(const std::string& phys) {
    const auto slash = phys.rfind("/input");
    if (slash == std::string::npos || slash + 6 == phys.size()) return phys;
    const bool digits = std::all_of(phys.begin() + static_cast<std::ptrdiff_t>(slash) + 6,
                                    phys.end(), [](char c) { return c >= '0' && c <= '9'; });
    return digits ? phys.substr(0, slash) : phys;
}

// Lines KEY=value of a uevent file.
std::string ueventValue(const std::string& uevent, const std::string& key) {
    std::size_t pos = 0;
    while (pos < uevent.size()) {
        auto end = uevent.find('\n', pos);
        if (end == std::string::npos) end = uevent.size();
        const std::string_view line(uevent.data() + pos, end - pos);
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            line[key.size()] == '=')
            return std::string(line.substr(key.size() + 1));
        pos = end + 1;
    }
    return {};
}

// HID_ID=0003:00000168:00000821 (bus, vendor, product): "%04X:%08X:%08X".
bool parseHidId(std::string_view text, Interface& out) {
    uint32_t bus = 0, vendor = 0, product = 0;
    if (text.size() != 22 || text[4] != ':' || text[13] != ':' ||
        !parseFixedHex(text.substr(0, 4), 4, true, bus) ||
        !parseFixedHex(text.substr(5, 8), 8, true, vendor) ||
        !parseFixedHex(text.substr(14, 8), 8, true, product) || vendor > 0xFFFF || product > 0xFFFF)
        return false;
    out.bus = static_cast<uint16_t>(bus);
    out.vendorId = static_cast<uint16_t>(vendor);
    out.productId = static_cast<uint16_t>(product);
    return true;
}

// Whether a resolved path lies inside the (resolved) sysfs root: links are followed only as
// far as the tree they belong to.
bool inside(const std::string& path, const std::string& root) {
    return path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
           (root == "/" || path[root.size()] == '/');
}

// The USB device above the HID device: the nearest ancestor holding idVendor.
void readUsbParent(const std::string& sysRoot, const std::string& hidPath, Interface& out) {
    std::string dir = parentOf(hidPath);
    for (int depth = 0; depth < 16 && inside(dir, sysRoot); ++depth) {
        if (exists(dir + "/idVendor")) {
            out.usb = true;
            out.location = baseName(dir);
            out.manufacturer = readValue(dir + "/manufacturer");
            out.product = readValue(dir + "/product");
            out.serial = readValue(dir + "/serial");
            uint32_t value = 0;
            if (parseFixedHex(readNumber(dir + "/bcdDevice"), 4, false, value))  // "%04x"
                out.version = static_cast<uint16_t>(value);
            if (parseDec(readNumber(dir + "/busnum"), value)) out.busNumber = value;
            return;
        }
        dir = parentOf(dir);
    }
}

}  // namespace

Roots roots() {
    std::lock_guard lock(rootsMutex);
    return currentRoots;
}

void setRoots(const char* sys, const char* dev) {
    std::lock_guard lock(rootsMutex);
    if (sys) currentRoots.sys = sys;
    if (dev) currentRoots.dev = dev;
}

bool isInterfaceName(const std::string& name) {
    if (name.size() <= 6 || name.size() > 16 || name.compare(0, 6, "hidraw") != 0) return false;
    return std::all_of(name.begin() + 6, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> listInterfaces(const Roots& roots) {
    std::vector<std::string> names;
    DIR* dir = ::opendir((roots.sys + "/class/hidraw").c_str());
    if (!dir) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (isInterfaceName(name)) names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return names;
}

std::optional<Interface> readInterface(const Roots& roots, const std::string& name) {
    if (!isInterfaceName(name)) return std::nullopt;
    Interface out;
    out.name = name;
    out.node = roots.dev + "/" + name;
    const auto sysRoot = realPath(roots.sys);
    if (!sysRoot) return std::nullopt;
    auto sysPath = realPath(roots.sys + "/class/hidraw/" + name);
    if (!sysPath || !inside(*sysPath, *sysRoot)) return std::nullopt;
    out.sysPath = *sysPath;
    auto hidPath = realPath(out.sysPath + "/device");
    if (!hidPath || !inside(*hidPath, *sysRoot)) return std::nullopt;
    const std::string uevent = readFile(*hidPath + "/uevent").value_or("");
    if (!parseHidId(ueventValue(uevent, "HID_ID"), out)) return std::nullopt;
    out.hidName = ueventValue(uevent, "HID_NAME");
    out.hidPhys = ueventValue(uevent, "HID_PHYS");
    out.hidUniq = ueventValue(uevent, "HID_UNIQ");
    out.driver = ueventValue(uevent, "DRIVER");
    if (out.driver.empty()) {
        if (auto driver = realPath(*hidPath + "/driver")) out.driver = baseName(*driver);
    }
    auto descriptor = readFile(*hidPath + "/report_descriptor", kMaxDescriptor);
    if (descriptor) out.descriptor.assign(descriptor->begin(), descriptor->end());
    readUsbParent(*sysRoot, *hidPath, out);
    if (out.location.empty()) out.location = physWithoutInput(out.hidPhys);
    return out;
}

bool inputReportsNumbered(const std::vector<uint8_t>& descriptor) {
    static constexpr std::size_t kSizes[4] = {0, 1, 2, 4};
    std::vector<uint32_t> pushed;  // Push and Pop save and restore the report ID too
    uint32_t id = 0;
    std::size_t i = 0;
    while (i < descriptor.size()) {
        const uint8_t prefix = descriptor[i];
        if (prefix == 0xFE) {  // long item: size, tag, data
            if (i + 1 >= descriptor.size()) break;
            i += 3 + descriptor[i + 1];
            continue;
        }
        const std::size_t size = kSizes[prefix & 3];
        if (size > descriptor.size() - i - 1) break;
        uint32_t value = 0;
        for (std::size_t k = 0; k < size; ++k)
            value |= static_cast<uint32_t>(descriptor[i + 1 + k]) << (8 * k);
        switch (prefix & 0xFC) {
            case 0x84:  // Report ID
                id = value;
                break;
            case 0xA4:  // Push
                pushed.push_back(id);
                break;
            case 0xB4:  // Pop
                if (!pushed.empty()) {
                    id = pushed.back();
                    pushed.pop_back();
                }
                break;
            case 0x80:  // Input
                if (id != 0) return true;
                break;
            default:
                break;
        }
        i += 1 + size;
    }
    return false;
}

}  // namespace velto::hidraw
