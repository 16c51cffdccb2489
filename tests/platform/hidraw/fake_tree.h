// A fake sysfs and /dev for the hidraw backend, built in a temporary folder and laid out as the
// kernel lays out the real ones:
//
//   <root>/sys/devices/usb1/1-<n>/                 USB device: idVendor, idProduct, bcdDevice,
//                                                  manufacturer, product, serial, busnum, devnum
//                                                  (a port path 1-2.3: usb1/1-2/1-2.3, behind a
//                                                  hub 1-2)
//   <root>/sys/devices/usb1/1-<n>/1-<n>:1.0/0003:VVVV:PPPP.<seq>/
//                                                  HID device: uevent (HID_ID, HID_NAME,
//                                                  HID_PHYS, HID_UNIQ, DRIVER), report_descriptor
//   .../0003:VVVV:PPPP.<seq>/hidraw/hidrawN/       hidraw device: dev, device -> ../..
//   <root>/sys/class/hidraw/hidrawN -> ../../devices/usb1/.../hidraw/hidrawN
//   <root>/dev/hidrawN                             the node, standing in for the character device:
//                                                  a FIFO (reads: the test writes reports into it;
//                                                  closing the test's end is a removal), a regular
//                                                  file (writes land in it) or a socket (exists but
//                                                  can not be opened).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace hidrawtest {

enum class NodeKind { Fifo, File, Socket, None };

struct FakeDevice {
    uint16_t vendorId = 0x0168;
    uint16_t productId = 0x0821;
    uint16_t bcdDevice = 0x0103;
    std::string name = "Velto Velto DSP";
    std::string manufacturer = "Velto";
    std::string product = "Velto DSP";
    std::string serial = "SN0001";
    std::string uniq;  // HID_UNIQ
    std::string port;  // the USB port path; empty: 1-<index + 1>
    std::string phys;  // HID_PHYS; empty: usb-0000:00:14.0-<index + 1>/input0
    bool usb = true;   // false: no USB parent (a virtual HID device)
    std::vector<uint8_t> descriptor;
    NodeKind node = NodeKind::Fifo;
};

class FakeTree {
  public:
    FakeTree();
    ~FakeTree();
    FakeTree(const FakeTree&) = delete;
    FakeTree& operator=(const FakeTree&) = delete;

    std::string root() const { return root_.string(); }
    std::string sysRoot() const { return (root_ / "sys").string(); }
    std::string devRoot() const { return (root_ / "dev").string(); }
    std::string nodePath(int index) const;
    std::string sysPath(int index) const;  // the hidraw device's real sysfs folder

    // Adds hidraw<index> with its sysfs entries and node.
    void add(int index, const FakeDevice& device);
    void createNode(int index, NodeKind kind);
    void removeNode(int index);
    // Removes the sysfs entries and the node, and hangs up the test's FIFO end.
    void remove(int index);

    // The test's end of a FIFO node; opened on first use, after the backend opened its end.
    void write(int index, const std::vector<uint8_t>& bytes);
    void hangUp(int index);
    // What the backend wrote into a regular-file node.
    std::vector<uint8_t> written(int index) const;

  private:
    std::filesystem::path root_;
    std::map<int, std::filesystem::path> hidDirs_;
    std::map<int, int> writers_;
    std::map<int, int> sockets_;
    int sequence_ = 1;
};

}  // namespace hidrawtest
