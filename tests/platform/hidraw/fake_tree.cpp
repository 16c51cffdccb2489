#include "tests/platform/hidraw/fake_tree.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace hidrawtest {
namespace {

void put(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

FakeTree::FakeTree() {
    char pattern[] = "/tmp/velto-hidraw-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    root_ = pattern;
    fs::create_directories(root_ / "sys/class/hidraw");
    fs::create_directories(root_ / "sys/devices/usb1");
    fs::create_directories(root_ / "dev");
}

FakeTree::~FakeTree() {
    for (auto& [index, fd] : writers_)
        ::close(fd);
    for (auto& [index, fd] : sockets_)
        ::close(fd);
    std::error_code ec;
    fs::remove_all(root_, ec);
}

std::string FakeTree::nodePath(int index) const {
    return devRoot() + "/hidraw" + std::to_string(index);
}

std::string FakeTree::sysPath(int index) const {
    return (hidDirs_.at(index) / "hidraw" / ("hidraw" + std::to_string(index))).string();
}

void FakeTree::add(int index, const FakeDevice& device) {
    char hidName[32];
    std::snprintf(hidName, sizeof hidName, "0003:%04X:%04X.%04X", device.vendorId, device.productId,
                  sequence_++);
    const std::string port = device.port.empty() ? "1-" + std::to_string(index + 1) : device.port;
    fs::path parent = root_ / "sys/devices/usb1";
    // Each hub on the way: 1-2.3 sits in 1-2.
    for (auto dot = port.find('.'); dot != std::string::npos; dot = port.find('.', dot + 1)) {
        parent /= port.substr(0, dot);
        fs::create_directories(parent);
        if (device.usb) put(parent / "idVendor", "05e3\n");
    }
    parent /= port;
    fs::create_directories(parent);
    if (device.usb) {
        char text[16];
        std::snprintf(text, sizeof text, "%04x\n", device.vendorId);
        put(parent / "idVendor", text);
        std::snprintf(text, sizeof text, "%04x\n", device.productId);
        put(parent / "idProduct", text);
        std::snprintf(text, sizeof text, "%04x\n", device.bcdDevice);
        put(parent / "bcdDevice", text);
        put(parent / "manufacturer", device.manufacturer + "\n");
        put(parent / "product", device.product + "\n");
        put(parent / "serial", device.serial + "\n");
        put(parent / "busnum", "1\n");
        put(parent / "devnum", std::to_string(index + 2) + "\n");
    }
    const fs::path hid = parent / (port + ":1.0") / hidName;
    const fs::path raw = hid / "hidraw" / ("hidraw" + std::to_string(index));
    fs::create_directories(raw);
    char id[48];
    std::snprintf(id, sizeof id, "HID_ID=0003:%08X:%08X\n", device.vendorId, device.productId);
    const std::string phys = device.phys.empty()
                                 ? "usb-0000:00:14.0-" + std::to_string(index + 1) + "/input0"
                                 : device.phys;
    put(hid / "uevent", std::string("DRIVER=hid-generic\n") + id + "HID_NAME=" + device.name +
                            "\nHID_PHYS=" + phys + "\nHID_UNIQ=" + device.uniq +
                            "\nMODALIAS=hid:b0003\n");
    put(hid / "report_descriptor", std::string(device.descriptor.begin(), device.descriptor.end()));
    fs::create_directory_symlink("../..", raw / "device");
    put(raw / "dev", "241:" + std::to_string(index) + "\n");
    fs::create_directory_symlink(fs::relative(raw, root_ / "sys/class/hidraw"),
                                 root_ / "sys/class/hidraw" / ("hidraw" + std::to_string(index)));
    hidDirs_[index] = hid;
    createNode(index, device.node);
}

void FakeTree::createNode(int index, NodeKind kind) {
    const std::string path = nodePath(index);
    switch (kind) {
        case NodeKind::Fifo:
            if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
            break;
        case NodeKind::File:
            put(path, "");
            break;
        case NodeKind::Socket: {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                throw std::runtime_error("bind");
            sockets_[index] = fd;
            break;
        }
        case NodeKind::None:
            break;
    }
}

void FakeTree::removeNode(int index) {
    hangUp(index);
    std::error_code ec;
    fs::remove(nodePath(index), ec);
}

void FakeTree::remove(int index) {
    removeNode(index);
    std::error_code ec;
    fs::remove(root_ / "sys/class/hidraw" / ("hidraw" + std::to_string(index)), ec);
    fs::remove_all(hidDirs_.at(index), ec);
    hidDirs_.erase(index);
}

void FakeTree::write(int index, const std::vector<uint8_t>& bytes) {
    auto it = writers_.find(index);
    if (it == writers_.end()) {
        const int fd = ::open(nodePath(index).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("open FIFO for writing");
        it = writers_.emplace(index, fd).first;
    }
    if (::write(it->second, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("write FIFO");
}

void FakeTree::hangUp(int index) {
    auto it = writers_.find(index);
    if (it == writers_.end()) return;
    ::close(it->second);
    writers_.erase(it);
}

std::vector<uint8_t> FakeTree::written(int index) const {
    std::ifstream in(nodePath(index), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace hidrawtest
