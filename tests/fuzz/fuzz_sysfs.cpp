// The hidraw backend's sysfs reading over a scratch tree laid out as the kernel lays out sysfs.
//
// Input: a shape byte, then length-prefixed fields: uevent and report_descriptor (2-byte
// lengths), then the USB parent's manufacturer, product, serial, busnum and bcdDevice (1-byte
// lengths).
// Shape bit 0: the USB parent has idVendor; bits 1-3: where hidraw0/device points (the HID
// device, nowhere, itself, the hidraw folder, a folder outside the sysfs root, "/", a file,
// no link); bits 4-5: the class link (good, dangling, a loop, missing).
// Checks: an interface is read only through links that stay inside the sysfs root, and only
// when HID_ID has exactly the kernel's format; numbers are taken only in the kernel's format;
// values and the descriptor are what the files hold; device strings decode to well-formed
// UTF-16 in which a NUL or '/' comes only from the same byte, and valid UTF-8 decodes back to
// itself; inputReportsNumbered agrees with the parser.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/common/backend.h"
#include "platform/hidp/hidp.h"
#include "platform/hidraw/sysfs.h"
#include "tests/fuzz/fuzz_check.h"

namespace fs = std::filesystem;
using velto::hidraw::Interface;

namespace {

constexpr const char* kHidDir = "sys/devices/usb1/1-1/1-1:1.0/0003:0168:0821.0001";
constexpr const char* kOutsideHid = "outside/1-1/1-1:1.0/0003:0168:0821.0001/and/deeper/still";

struct Tree {
    std::string root;
    std::string Path(const std::string& rel) const { return root + "/" + rel; }
};

void Put(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

void Link(const std::string& target, const std::string& path) {
    ::unlink(path.c_str());
    if (!target.empty()) FUZZ_CHECK(::symlink(target.c_str(), path.c_str()) == 0);
}

const Tree& Scratch() {
    static const Tree tree = [] {
        // Memory-backed when possible: every input rewrites the tree.
        const char* tmp = std::getenv("TMPDIR");
        std::string base = tmp && *tmp                       ? tmp
                           : ::access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                             : "/tmp";
        std::string pattern = base + "/velto-fuzz-sysfs-XXXXXX";
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        Tree t{pattern};
        fs::create_directories(t.Path(kHidDir) + "/hidraw/hidraw0");
        fs::create_directories(t.Path("sys/class/hidraw"));
        fs::create_directories(t.Path(kOutsideHid));
        // A HID device below a USB device, outside the sysfs root: never to be read.
        Put(t.Path("outside/1-1/idVendor"), "0168\n");
        Put(t.Path("outside/1-1/manufacturer"), "OUTSIDE\n");
        Put(t.Path(kOutsideHid) + "/uevent", "HID_ID=0003:00000168:00000821\nHID_NAME=OUTSIDE\n");
        return t;
    }();
    static const bool cleanup = [] {
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(tree.root, ec);
        });
        return true;
    }();
    (void)cleanup;
    return tree;
}

class Input {
  public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::string Field(int lengthBytes) {
        std::size_t n = Byte();
        if (lengthBytes == 2) n |= static_cast<std::size_t>(Byte()) << 8;
        n = std::min(n, size_ - pos_);
        std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return s;
    }

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

bool AllOf(const std::string& s, std::size_t from, std::size_t n, bool (*ok)(char)) {
    return s.size() >= from + n &&
           std::all_of(s.begin() + static_cast<std::ptrdiff_t>(from),
                       s.begin() + static_cast<std::ptrdiff_t>(from + n), ok);
}

bool UpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}
bool LowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}
bool Digit(char c) {
    return c >= '0' && c <= '9';
}

// The first KEY=value line of a uevent file.
std::optional<std::string> UeventValue(const std::string& uevent, const std::string& key) {
    std::size_t pos = 0;
    while (pos < uevent.size()) {
        const std::size_t end = std::min(uevent.find('\n', pos), uevent.size());
        const std::string line = uevent.substr(pos, end - pos);
        if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
        pos = end + 1;
    }
    return std::nullopt;
}

// HID_ID as the kernel writes it: "%04X:%08X:%08X"; vendor and product must fit 16 bits.
std::optional<uint32_t> KernelHidId(const std::string& v, uint16_t* bus) {
    if (v.size() != 22 || v[4] != ':' || v[13] != ':' || !AllOf(v, 0, 4, UpperHex) ||
        !AllOf(v, 5, 8, UpperHex) || !AllOf(v, 14, 8, UpperHex))
        return std::nullopt;
    const auto vendor = std::stoul(v.substr(5, 8), nullptr, 16);
    const auto product = std::stoul(v.substr(14, 8), nullptr, 16);
    if (vendor > 0xFFFF || product > 0xFFFF) return std::nullopt;
    *bus = static_cast<uint16_t>(std::stoul(v.substr(0, 4), nullptr, 16));
    return static_cast<uint32_t>(vendor << 16 | product);
}

std::string WithoutNewline(const std::string& s) {
    return !s.empty() && s.back() == '\n' ? s.substr(0, s.size() - 1) : s;
}

// busnum: "%d\n", a positive bus number.
uint32_t KernelBusNumber(const std::string& file) {
    const std::string v = WithoutNewline(file);
    if (v.empty() || v.size() > 9 || v[0] == '0' || !AllOf(v, 0, v.size(), Digit)) return 0;
    return static_cast<uint32_t>(std::stoul(v));
}

// bcdDevice: "%04x\n".
uint16_t KernelBcd(const std::string& file) {
    const std::string v = WithoutNewline(file);
    if (v.size() != 4 || !AllOf(v, 0, 4, LowerHex)) return 0;
    return static_cast<uint16_t>(std::stoul(v, nullptr, 16));
}

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

// Strict UTF-8: shortest forms, no surrogates, at most U+10FFFF.
bool ValidUtf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        uint32_t c = 0, min = 0;
        if (b < 0x80) {
            ++i;
            continue;
        }
        if (b >= 0xC2 && b <= 0xDF) {
            n = 1, c = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            n = 2, c = b & 0x0F, min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            n = 3, c = b & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (i + n >= s.size()) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto f = static_cast<unsigned char>(s[i + k]);
            if ((f & 0xC0) != 0x80) return false;
            c = c << 6 | (f & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return false;
        i += n + 1;
    }
    return true;
}

void CheckString(const std::string& bytes) {
    const std::u16string text = velto::platform::fromUtf8(bytes);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00) {
            FUZZ_CHECK(i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000);
            ++i;
        } else {
            FUZZ_CHECK(c < 0xDC00 || c >= 0xE000);
        }
    }
    FUZZ_CHECK(std::count(text.begin(), text.end(), u'\0') ==
               std::count(bytes.begin(), bytes.end(), '\0'));
    FUZZ_CHECK(std::count(text.begin(), text.end(), u'/') ==
               std::count(bytes.begin(), bytes.end(), '/'));
    const std::string back = velto::platform::toUtf8(text);
    FUZZ_CHECK(ValidUtf8(back));
    if (ValidUtf8(bytes)) {
        FUZZ_CHECK(back == bytes);
    } else {
        FUZZ_CHECK(text.find(u'\uFFFD') != std::u16string::npos);
    }
}

void CheckReportIds(const std::string& descriptor) {
    const std::vector<uint8_t> d(descriptor.begin(), descriptor.end());
    PHIDP_PREPARSED_DATA p = hidp::ParseDescriptor(d.data(), d.size());
    if (p == nullptr) return;
    HIDP_VALUE_CAPS values[1];
    HIDP_BUTTON_CAPS buttons[1];
    // Reports are numbered per type: the input reports' IDs decide.
    USHORT n = 1;
    int id = -1;
    if (HidP_GetSpecificValueCaps(HidP_Input, 0, 0, 0, values, &n, p) == HIDP_STATUS_SUCCESS)
        id = values[0].ReportID;
    n = 1;
    if (id < 0 &&
        HidP_GetSpecificButtonCaps(HidP_Input, 0, 0, 0, buttons, &n, p) == HIDP_STATUS_SUCCESS)
        id = buttons[0].ReportID;
    if (id >= 0) FUZZ_CHECK(velto::hidraw::inputReportsNumbered(d) == (id != 0));
    hidp::FreePreparsedData(p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const Tree& t = Scratch();
    Input in(data, size);
    const uint8_t shape = in.Byte();
    const std::string uevent = in.Field(2);
    const std::string descriptor = in.Field(2);
    const std::string manufacturer = in.Field(1), product = in.Field(1), serial = in.Field(1);
    const std::string busnum = in.Field(1), bcd = in.Field(1);

    const bool usb = (shape & 1) != 0;
    const int deviceLink = (shape >> 1) & 7;
    const int classLink = (shape >> 4) & 3;

    const std::string hid = t.Path(kHidDir);
    const std::string parent = t.Path("sys/devices/usb1/1-1");
    Put(hid + "/uevent", uevent);
    Put(hid + "/report_descriptor", descriptor);
    if (usb) {
        Put(parent + "/idVendor", "0168\n");
    } else {
        ::unlink((parent + "/idVendor").c_str());
    }
    Put(parent + "/manufacturer", manufacturer);
    Put(parent + "/product", product);
    Put(parent + "/serial", serial);
    Put(parent + "/busnum", busnum);
    Put(parent + "/bcdDevice", bcd);

    const std::string raw = hid + "/hidraw/hidraw0";
    const char* const deviceTargets[] = {"../..", "../../nowhere", "device", ".", "",
                                         "/",     "../../uevent",  nullptr};
    std::string deviceTarget = deviceTargets[deviceLink] ? deviceTargets[deviceLink] : "";
    if (deviceLink == 4) deviceTarget = t.Path(kOutsideHid);
    Link(deviceTarget, raw + "/device");
    const char* const classTargets[] = {
        "../../devices/usb1/1-1/1-1:1.0/0003:0168:0821.0001/hidraw/hidraw0", "../../nowhere",
        "hidraw0", ""};
    Link(classTargets[classLink], t.Path("sys/class/hidraw/hidraw0"));

    velto::hidraw::Roots roots;
    roots.sys = t.Path("sys");
    roots.dev = t.Path("dev");
    const std::optional<Interface> got = velto::hidraw::readInterface(roots, "hidraw0");

    uint16_t bus = 0;
    const auto hidId = UeventValue(uevent, "HID_ID");
    const auto ids = hidId ? KernelHidId(*hidId, &bus) : std::nullopt;
    const bool reachable = classLink == 0 && deviceLink == 0;
    FUZZ_CHECK(got.has_value() == (reachable && ids.has_value()));
    if (got) {
        const uint32_t id = ids.value_or(0);
        FUZZ_CHECK(got->bus == bus && got->vendorId == id >> 16 && got->productId == (id & 0xFFFF));
        FUZZ_CHECK(got->hidName == UeventValue(uevent, "HID_NAME").value_or(""));
        FUZZ_CHECK(got->hidUniq == UeventValue(uevent, "HID_UNIQ").value_or(""));
        FUZZ_CHECK(got->descriptor.size() == std::min<std::size_t>(descriptor.size(), 4096));
        FUZZ_CHECK(std::equal(got->descriptor.begin(), got->descriptor.end(), descriptor.begin(),
                              [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }));
        FUZZ_CHECK(got->usb == usb);
        if (usb) {
            FUZZ_CHECK(got->manufacturer == Trimmed(manufacturer));
            FUZZ_CHECK(got->product == Trimmed(product) && got->serial == Trimmed(serial));
            FUZZ_CHECK(got->busNumber == KernelBusNumber(busnum));
            FUZZ_CHECK(got->version == KernelBcd(bcd));
        }
    }

    const std::vector<std::string> names = velto::hidraw::listInterfaces(roots);
    FUZZ_CHECK((std::find(names.begin(), names.end(), "hidraw0") != names.end()) ==
               (classLink != 3));

    for (const std::string* s : {&manufacturer, &product, &serial, &uevent})
        CheckString(*s);
    CheckReportIds(descriptor);
    return 0;
}
