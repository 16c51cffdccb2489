#include "tools/hid-list/hid_list.h"

#include <QRegularExpression>
#include <QString>

#include <cstdio>
#include <sstream>

#include "hid/hid.h"
#include "hid/jvhidcontrollerclass.h"
#include "hid/unit_identity.h"

namespace hidlist {

namespace {

std::string Hex(unsigned Value, int Digits) {
    char Buf[16];
    std::snprintf(Buf, sizeof Buf, "%0*x", Digits, Value);
    return Buf;
}

std::string Utf8(const std::u16string& Text) {
    return QString::fromStdU16String(Text).toStdString();
}

// The USB port path ("1-1", "2-1.4") in a sysfs device path: its last folder named so; empty
// for a device that is not on USB.
std::string UsbPort(const std::string& SysPath) {
    const QRegularExpression Port(QStringLiteral("^[0-9]+-[0-9]+(\\.[0-9]+)*$"));
    std::string Found;
    for (const QString& Part : QString::fromStdString(SysPath).split(u'/'))
        if (Port.match(Part).hasMatch()) Found = Part.toStdString();
    return Found;
}

void DescribeOne(std::ostringstream& Out, TJvHidDevice* Dev, int Idx) {
    const HIDD_ATTRIBUTES& A = Dev->Attributes;
    Out << "[" << Idx << "] " << Hex(A.VendorID, 4) << ":" << Hex(A.ProductID, 4) << " version "
        << Hex(A.VersionNumber, 4);
    const std::string Mode = VeltoMode(A.VendorID, A.ProductID);
    if (!Mode.empty()) Out << "  <== Velto device, " << Mode;
    Out << "\n";
    if (Dev->PnPInfo != nullptr) {
        Out << "    path:         " << Dev->PnPInfo->DevicePath << "\n";
        Out << "    instance:     " << Dev->PnPInfo->DeviceInstance << "\n";
        if (const std::string Port = UsbPort(Dev->PnPInfo->PhysDevObjName); !Port.empty())
            Out << "    usb port:     " << Port << "\n";
    }
    if (!Dev->PluggedIn) {
        Out << "    (unplugged)\n";
        return;
    }
    // How the updater tells this unit from others (--port, --serial).
    if (!Mode.empty()) Out << "    unit:         " << IdentityOf(*Dev).Describe() << "\n";
    Out << "    manufacturer: \"" << Utf8(Dev->GetVendorName()) << "\"\n";
    Out << "    product:      \"" << Utf8(Dev->GetProductName()) << "\"\n";
    Out << "    serial:       \"" << Utf8(Dev->GetSerialNumber()) << "\"\n";
    const HIDP_CAPS& C = Dev->Caps();
    if (Dev->GetPreparsedData() == nullptr) {
        // Zeros here would read as a device with no reports; say why there are no caps.
        const std::string Why = Dev->GetParseError();
        Out << "    usage:        unknown: the report descriptor is not understood ("
            << (Why.empty() ? "no reason given" : Why) << ")\n";
        Out << "    reports:      unknown\n";
    } else {
        Out << "    usage:        page 0x" << Hex(C.UsagePage, 4) << " usage 0x" << Hex(C.Usage, 4)
            << "\n";
        Out << "    reports:      input " << C.InputReportByteLength << ", output "
            << C.OutputReportByteLength << ", feature " << C.FeatureReportByteLength
            << " bytes (report ID byte included)\n";
    }
    // What the listing found out without opening the node (opening wakes the device and, for
    // a moment, takes it from the program that may be updating it).
    Out << "    access:       "
        << (Dev->ReadWriteAccess ? "read/write"
            : Dev->ReadWriteError() == ERROR_SHARING_VIOLATION
                ? "in use by another program"
                : "queries only (no read/write access: check permissions)")
        << "\n";
}

}  // namespace

std::string VeltoMode(unsigned VendorID, unsigned ProductID) {
    if (VendorID != kVeltoVendor) return {};
    if (ProductID == kVeltoRunProduct) return "run mode";
    if (ProductID == kVeltoUpdateProduct) return "update mode";
    return {};
}

std::string Describe(TJvHidDeviceController& Controller, int* VeltoCount) {
    if (VeltoCount != nullptr) *VeltoCount = 0;
    std::ostringstream Out;
    if (!IsHidLoaded()) {
        Out << "The HID backend could not be loaded: no HID interface can be seen.\n";
        return Out.str();
    }
    int Listed = 0;
    int Velto = 0;
    // The callback makes each checked-in interface accessible for its queries (query-only
    // handles; none is opened for reading or writing).
    Controller.SetOnEnumerate([&](TJvHidDevice* Dev, int Idx) {
        DescribeOne(Out, Dev, Idx);
        ++Listed;
        if (!VeltoMode(Dev->Attributes.VendorID, Dev->Attributes.ProductID).empty()) ++Velto;
        return true;
    });
    Controller.Enumerate();
    Controller.SetOnEnumerate(nullptr);
    if (VeltoCount != nullptr) *VeltoCount = Velto;
    Out << Listed << " HID interface(s) found";
    if (Velto == 0)
        Out << "; no Velto device (vendor 0x0168, product 0x0821 run mode or 0x0904 update "
               "mode)";
    else
        Out << "; Velto device(s): " << Velto;
    Out << ".\n";
    return Out.str();
}

}  // namespace hidlist
