#include "app/unit_selection.h"

#include <algorithm>

#include "hid/jvhiddevice.h"
#include "hid/jvhiddevicecontroller.h"

namespace {

constexpr uint16_t kVendorId = 0x0168;
constexpr uint16_t kProductUpdate = 0x0904;
constexpr uint16_t kProductRun = 0x0821;

}  // namespace

bool IsVeltoDevice(const TJvHidDevice* dev) {
    return dev != nullptr && dev->Attributes.VendorID == kVendorId &&
           (dev->Attributes.ProductID == kProductUpdate ||
            dev->Attributes.ProductID == kProductRun);
}

std::vector<UnitEntry> VeltoUnitsOf(TJvHidDeviceController& controller) {
    std::vector<UnitEntry> units;
    controller.ForEachPlugged([&](TJvHidDevice* dev) {
        if (!IsVeltoDevice(dev)) return;
        UnitEntry unit;
        unit.identity = IdentityOf(*dev);
        unit.mode =
            dev->Attributes.ProductID == kProductUpdate ? DeviceMode::Update : DeviceMode::Run;
        unit.readWrite = dev->ReadWriteAccess;
        units.push_back(std::move(unit));
    });
    return units;
}

bool UnitSelection::ChosenPresent() const {
    return chosen_ && std::any_of(present_.begin(), present_.end(), [&](const UnitEntry& u) {
               return u.identity.SameUnit(*chosen_);
           });
}

bool UnitSelection::Wants(const UnitIdentity& unit) const {
    if (runUnit_) return unit.SameUnit(*runUnit_);
    if (!request_.Empty()) return request_.Accepts(unit);
    if (present_.size() <= 1) return true;
    return ChosenPresent() && unit.SameUnit(*chosen_);
}

bool UnitSelection::ChoiceNeeded() const {
    return !runUnit_ && request_.Empty() && present_.size() > 1 && !ChosenPresent();
}

QString UnitSelection::Describe(const UnitEntry& unit) {
    QString text = QString::fromStdString(unit.identity.port);
    text += unit.mode == DeviceMode::Update ? QStringLiteral("  update mode")
                                            : QStringLiteral("  run mode");
    if (!unit.identity.serial.empty())
        text += QStringLiteral("  serial ") + QString::fromStdString(unit.identity.serial);
    return text;
}
