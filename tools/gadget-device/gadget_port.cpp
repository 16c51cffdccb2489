#include "tools/gadget-device/gadget_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "sim/velto_device.h"

namespace gadgetdev {

namespace {

// The gadget's HID function, and the one configuration it sits in.
constexpr char kFunction[] = "hid.velto";
constexpr char kConfig[] = "c.1";
constexpr char kEnglish[] = "0x409";

// How long a new answer waits for the report before it to leave the IN endpoint. The host
// polls every frame while its node is open, but an emulated host under load may stall for a
// few hundred milliseconds; a longer wait means nobody is reading.
constexpr std::chrono::milliseconds kAnswerWait{500};

std::string Utf8(const std::u16string& text) {
    return QString::fromStdU16String(text).toUtf8().toStdString();
}

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

bool MakeFolder(const std::string& path) {
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

}  // namespace

GadgetPort::GadgetPort(GadgetOptions options)
    : options_(std::move(options)),
      gadget_(options_.configfs + "/usb_gadget/velto-" + options_.udc),
      function_(gadget_ + "/functions/" + kFunction),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    // What a program stopped by force left behind would keep the controller busy.
    Remove();
}

GadgetPort::~GadgetPort() {
    Remove();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void GadgetPort::Fail(const std::string& what, int error) {
    std::lock_guard lk(mu_);
    lastError_ = what + ": " + std::strerror(error);
}

bool GadgetPort::Write(const std::string& path, const std::string& value) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        Fail(path, errno);
        return false;
    }
    // configfs takes an attribute in one write.
    const ssize_t n = ::write(fd, value.data(), value.size());
    const int error = n < 0 ? errno : EIO;
    ::close(fd);
    if (n == static_cast<ssize_t>(value.size())) return true;
    Fail(path, error);
    return false;
}

bool GadgetPort::Create(const simdev::DeviceIdentity& identity) {
    const std::string config = gadget_ + "/configs/" + kConfig;
    for (const std::string& folder : {gadget_, gadget_ + "/strings/" + kEnglish, config,
                                      config + "/strings/" + kEnglish, function_}) {
        if (!MakeFolder(folder)) {
            Fail("mkdir " + folder, errno);
            return false;
        }
    }
    created_ = true;
    const std::string descriptor(identity.reportDescriptor.begin(),
                                 identity.reportDescriptor.end());
    if (!Write(gadget_ + "/bcdUSB", "0x0200") || !Write(config + "/MaxPower", "100") ||
        !Write(config + "/strings/" + kEnglish + "/configuration", "Velto") ||
        !Write(function_ + "/protocol", "0") || !Write(function_ + "/subclass", "0") ||
        !Write(function_ + "/report_length", std::to_string(simdev::kReportSize)) ||
        !Write(function_ + "/report_desc", descriptor))
        return false;
    if (::symlink(function_.c_str(), (config + "/" + kFunction).c_str()) != 0 && errno != EEXIST) {
        Fail("linking the HID function", errno);
        return false;
    }
    return true;
}

void GadgetPort::Remove() {
    Unplug();
    // Each step may find nothing to undo.
    const std::string config = gadget_ + "/configs/" + kConfig;
    if (::access((gadget_ + "/UDC").c_str(), F_OK) == 0) Write(gadget_ + "/UDC", "\n");
    ::unlink((config + "/" + kFunction).c_str());
    for (const std::string& folder : {config + "/strings/" + kEnglish, config, function_,
                                      gadget_ + "/strings/" + kEnglish, gadget_})
        ::rmdir(folder.c_str());
    created_ = false;
}

bool GadgetPort::Plug(const simdev::DeviceIdentity& identity, simdev::OutputHandler onOutput) {
    Unplug();
    if (!created_ && !Create(identity)) {
        Remove();
        return false;
    }
    const std::string strings = gadget_ + "/strings/" + kEnglish;
    if (!Write(gadget_ + "/idVendor", Hex4(identity.vendorId)) ||
        !Write(gadget_ + "/idProduct", Hex4(identity.productId)) ||
        !Write(gadget_ + "/bcdDevice", Hex4(identity.version)) ||
        !Write(strings + "/manufacturer", Utf8(identity.manufacturer)) ||
        !Write(strings + "/product", Utf8(identity.product)) ||
        !Write(strings + "/serialnumber", Utf8(identity.serial)))
        return false;

    if (!Write(gadget_ + "/UDC", options_.udc)) return false;
    bound_ = true;
    // The function's node comes with the binding, named after its minor number.
    std::string number;
    std::ifstream(function_ + "/dev") >> number;
    const std::string node = options_.dev + "/hidg" + number.substr(number.find(':') + 1);
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail("open " + node, errno);
        Write(gadget_ + "/UDC", "\n");
        bound_ = false;
        return false;
    }
    {
        std::lock_guard lk(mu_);
        handler_ = std::move(onOutput);
    }
    fd_ = fd;
    reader_ = std::thread([this, fd] { ReadLoop(fd); });
    lastInput_.clear();
    {
        std::lock_guard lk(mu_);
        ++plugs_[identity.productId];
    }
    if (options_.log) {
        char id[16];
        std::snprintf(id, sizeof id, "%04x:%04x", identity.vendorId, identity.productId);
        options_.log(std::string("plugged in as ") + id + " \"" + Utf8(identity.product) +
                     "\" serial \"" + Utf8(identity.serial) + "\" manufacturer \"" +
                     Utf8(identity.manufacturer) + "\" bcdDevice " +
                     Hex4(identity.version).substr(2) + " on " + options_.udc);
    }
    return true;
}

void GadgetPort::Unplug() {
    if (!bound_) return;
    StopReader();
    // The node goes with the binding: closed first.
    ::close(fd_);
    fd_ = -1;
    Write(gadget_ + "/UDC", "\n");
    bound_ = false;
    {
        std::lock_guard lk(mu_);
        handler_ = nullptr;
    }
    if (options_.log) options_.log("unplugged");
}

void GadgetPort::StopReader() {
    if (!reader_.joinable()) return;
    const uint64_t one = 1;
    if (::write(wakeFd_, &one, sizeof one) < 0) {
        // Cannot happen with a counter this small; the join below would then wait.
    }
    reader_.join();
    uint64_t count = 0;
    if (::read(wakeFd_, &count, sizeof count) < 0) {
        // Nothing was pending.
    }
}

bool GadgetPort::SendInput(const uint8_t* report, std::size_t length) {
    if (report == nullptr || length == 0) return false;
    if (options_.silentAfterOutputs != 0 && delivered_.load() >= options_.silentAfterOutputs)
        return true;
    if (fd_ < 0) return false;
    const auto wire = simdev::WireInput(report, length, options_.shortInput);
    const uint8_t* data = wire.data();
    const std::size_t n = wire.size();
    const bool repeat = lastInput_.size() == n && std::equal(data, data + n, lastInput_.begin());
    const auto deadline = std::chrono::steady_clock::now() + kAnswerWait;
    for (;;) {
        const ssize_t written = ::write(fd_, data, n);
        if (written == static_cast<ssize_t>(n)) {
            lastInput_.assign(data, data + n);
            return true;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written >= 0 || errno != EAGAIN) {
            // ESHUTDOWN: the host has not configured the device (yet).
            ++answersLost_;
            Fail("writing an input report", written < 0 ? errno : EIO);
            return false;
        }
        // One report waits in the endpoint already. A repeat of it adds nothing, as the
        // device's endpoint buffer holds one report; a new answer goes out after it.
        if (repeat) {
            ++repeatsDropped_;
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count()) + 1) == 0) {
            ++answersLost_;
            return false;
        }
    }
}

std::map<uint16_t, int> GadgetPort::PlugCounts() const {
    std::lock_guard lk(mu_);
    return plugs_;
}

std::string GadgetPort::LastError() const {
    std::lock_guard lk(mu_);
    return lastError_;
}

void GadgetPort::ReadLoop(int fd) {
    // The report ID byte first, as the model takes output reports.
    uint8_t report[1 + 1024] = {0};
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t n = ::read(fd, report + 1, sizeof report - 1);
            if (n > 0) {
                simdev::OutputHandler handler;
                {
                    std::lock_guard lk(mu_);
                    handler = handler_;
                }
                if (handler) {
                    ++delivered_;
                    handler(report, static_cast<std::size_t>(n) + 1);
                }
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        }
        // Not bound (yet) or an error: no busy loop while waiting to be stopped.
        pollfd wake{wakeFd_, POLLIN, 0};
        if (::poll(&wake, 1, 10) != 0) return;
    }
}

}  // namespace gadgetdev
