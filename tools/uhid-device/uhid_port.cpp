#include "tools/uhid-device/uhid_port.h"

#include <linux/uhid.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace uhiddev {

namespace {

constexpr uint16_t kBusUsb = 0x03;

// UTF-16 strings of the model to the kernel's byte strings (UTF-8), cut to fit with the
// terminating zero.
template <std::size_t N>
void CopyString(uint8_t (&to)[N], const std::u16string& from) {
    const QByteArray utf8 = QString::fromStdU16String(from).toUtf8();
    const std::size_t n = std::min(static_cast<std::size_t>(utf8.size()), N - 1);
    std::memcpy(to, utf8.constData(), n);
    to[n] = 0;
}

}  // namespace

UhidPort::UhidPort(int fd, PortOptions options)
    : fd_(fd), wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), options_(std::move(options)) {
    reader_ = std::thread([this] { ReadLoop(); });
}

UhidPort::~UhidPort() {
    Unplug();
    const uint64_t one = 1;
    if (wakeFd_ >= 0 && ::write(wakeFd_, &one, sizeof one) < 0) {
        // The reader also ends when the descriptor is closed below.
    }
    reader_.join();
    if (wakeFd_ >= 0) ::close(wakeFd_);
    if (fd_ >= 0) ::close(fd_);
}

bool UhidPort::WriteEvent(const void* event, std::size_t size, const char* what) {
    for (;;) {
        const ssize_t n = ::write(fd_, event, size);
        if (n == static_cast<ssize_t>(size)) return true;
        if (n < 0 && errno == EINTR) continue;
        const int e = n < 0 ? errno : EIO;
        std::lock_guard lk(mu_);
        lastError_ = std::string(what) + ": " + std::strerror(e);
        return false;
    }
}

bool UhidPort::Plug(const simdev::DeviceIdentity& identity, simdev::OutputHandler onOutput) {
    auto ev = std::make_unique<uhid_event>();
    std::memset(ev.get(), 0, sizeof *ev);
    ev->type = UHID_CREATE2;
    uhid_create2_req& c = ev->u.create2;
    // What a host reads as the product name and serial number comes from the model itself.
    CopyString(c.name, identity.product);
    // The kernel reports it as HID_PHYS: where the host finds the unit again after a reset.
    CopyString(c.phys, QString::fromStdString(identity.location).toStdU16String());
    CopyString(c.uniq, identity.serial);
    if (identity.reportDescriptor.size() > sizeof c.rd_data) {
        std::lock_guard lk(mu_);
        lastError_ = "report descriptor too long";
        return false;
    }
    c.rd_size = static_cast<uint16_t>(identity.reportDescriptor.size());
    std::copy(identity.reportDescriptor.begin(), identity.reportDescriptor.end(), c.rd_data);
    c.bus = kBusUsb;
    c.vendor = identity.vendorId;
    c.product = identity.productId;
    c.version = identity.version;

    Unplug();
    {
        std::lock_guard lk(mu_);
        pending_ = std::move(onOutput);
    }
    if (!WriteEvent(ev.get(), sizeof *ev, "UHID_CREATE2")) {
        std::lock_guard lk(mu_);
        pending_ = nullptr;
        return false;
    }
    {
        std::lock_guard lk(mu_);
        created_ = true;
        ++plugs_[identity.productId];
    }
    if (options_.log) {
        char id[16];
        std::snprintf(id, sizeof id, "%04x:%04x", identity.vendorId, identity.productId);
        options_.log(std::string("plugged in as ") + id + " \"" +
                     reinterpret_cast<const char*>(c.name) + "\" serial \"" +
                     reinterpret_cast<const char*>(c.uniq) + "\"");
    }
    return true;
}

void UhidPort::Unplug() {
    {
        std::lock_guard lk(mu_);
        if (!created_) return;
        created_ = false;
        lastInput_.clear();
        pending_ = nullptr;
    }
    uhid_event ev{};
    ev.type = UHID_DESTROY;
    WriteEvent(&ev, sizeof ev, "UHID_DESTROY");
    if (options_.log) options_.log("unplugged");
}

bool UhidPort::SendInput(const uint8_t* report, std::size_t length) {
    if (report == nullptr || length == 0) return false;
    if (options_.silentAfterOutputs != 0 && delivered_.load() >= options_.silentAfterOutputs)
        return true;
    {
        std::lock_guard lk(mu_);
        if (!created_) return false;
    }
    const auto wire = simdev::WireInput(report, length, options_.shortInput);
    const uint8_t* data = wire.data();
    std::size_t n = wire.size();
    {
        // A USB host's write returns once the device holds the report, so a device never
        // repeats its previous answer after the host's next packet. Here the packet may still
        // wait in the kernel's queue for the reader thread: a repeat sent now would be one
        // the real device cannot send.
        std::lock_guard lk(mu_);
        const bool repeat =
            lastInput_.size() == n && std::equal(data, data + n, lastInput_.begin());
        if (repeat && OutputWaiting()) {
            ++repeatsHeld_;
            return true;
        }
        lastInput_.assign(data, data + n);
    }
    auto ev = std::make_unique<uhid_event>();
    ev->type = UHID_INPUT2;
    n = std::min<std::size_t>(n, UHID_DATA_MAX);
    ev->u.input2.size = static_cast<uint16_t>(n);
    std::memcpy(ev->u.input2.data, data, n);
    // Only the header and the data are read by the kernel.
    return WriteEvent(ev.get(), offsetof(uhid_event, u.input2.data) + n, "UHID_INPUT2");
}

bool UhidPort::OutputWaiting() const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

std::map<uint16_t, int> UhidPort::PlugCounts() const {
    std::lock_guard lk(mu_);
    return plugs_;
}

std::string UhidPort::LastError() const {
    std::lock_guard lk(mu_);
    return lastError_;
}

void UhidPort::ReadLoop() {
    auto ev = std::make_unique<uhid_event>();
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        const ssize_t n = ::read(fd_, ev.get(), sizeof *ev);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return;
        }
        if (n == 0) return;
        switch (ev->type) {
            case UHID_START: {
                std::lock_guard lk(mu_);
                active_ = std::move(pending_);
                pending_ = nullptr;
                break;
            }
            case UHID_STOP: {
                std::lock_guard lk(mu_);
                active_ = nullptr;
                break;
            }
            case UHID_OUTPUT: {
                simdev::OutputHandler handler;
                {
                    std::lock_guard lk(mu_);
                    handler = active_;
                }
                const std::size_t size = std::min<std::size_t>(ev->u.output.size, UHID_DATA_MAX);
                if (handler && ev->u.output.rtype == UHID_OUTPUT_REPORT) {
                    ++delivered_;
                    handler(ev->u.output.data, size);
                } else {
                    ++dropped_;
                }
                break;
            }
            case UHID_GET_REPORT: {
                // The device has no feature reports: the request fails at once rather than
                // after the kernel's own time-out.
                uhid_event reply{};
                reply.type = UHID_GET_REPORT_REPLY;
                reply.u.get_report_reply.id = ev->u.get_report.id;
                reply.u.get_report_reply.err = EIO;
                WriteEvent(&reply, sizeof reply, "UHID_GET_REPORT_REPLY");
                break;
            }
            case UHID_SET_REPORT: {
                uhid_event reply{};
                reply.type = UHID_SET_REPORT_REPLY;
                reply.u.set_report_reply.id = ev->u.set_report.id;
                reply.u.set_report_reply.err = EIO;
                WriteEvent(&reply, sizeof reply, "UHID_SET_REPORT_REPLY");
                break;
            }
            default:  // UHID_OPEN, UHID_CLOSE: nothing to do
                break;
        }
    }
}

}  // namespace uhiddev
