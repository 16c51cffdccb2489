#include "app/support_report.h"

#include <array>

#include <QAction>
#include <QCoreApplication>
#include <QFile>
#include <QKeySequence>
#include <QSysInfo>
#include <QtGlobal>

#include <cerrno>
#include <cstring>
#include <utility>

#include "app/auto_run.h"
#include "app/desktop/run_observer.h"
// isp.h holds the diagnostic windows by QPointer, which needs their full types.
#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/isp.h"
#include "app/progress_report.h"
#include "hid/backend.h"
#include "hid/jvhidcontrollerclass.h"

namespace {

constexpr unsigned kVeltoVendor = 0x0168;
constexpr unsigned kRunProduct = 0x0821;
constexpr unsigned kUpdateProduct = 0x0904;

QString Hex(unsigned value, int digits) {
    return QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0'));
}

}  // namespace

SupportReport::SupportReport(TfmIsp& isp, const RunObserver& watch, ObservedDialogs& dialogs,
                             const TraceFile& trace, QString program, QObject* parent)
    : QObject(parent), isp_(isp), dialogs_(dialogs), trace_(trace), program_(std::move(program)) {
    observerId_ = dialogs_.AddObserver(
        [this](DialogSeam::Kind kind, const QString& text) { OnDialog(kind, text); });
    connect(&watch, &RunObserver::Started, this, [this] {
        run_.clear();
        lastPhase_.clear();
        exitStatus_.clear();
        runSeen_ = true;
        runClock_.start();
        Note(QStringLiteral("run started"));
        OnStatusChanged();
    });
    connect(&watch, &RunObserver::Ended, this, [this](bool ok, const QString& text) {
        Note(QStringLiteral("run ended: %1%2")
                 .arg(ok ? QStringLiteral("completed") : QStringLiteral("did not complete"),
                      text.isEmpty() ? QString() : QStringLiteral(" (\"%1\")").arg(text)));
    });
    connect(&isp_, &TfmIsp::StatusChanged, this, [this] { OnStatusChanged(); });

    // A service entry like the two diagnostic windows: no visible menu, a shortcut.
    save_ = new QAction(QStringLiteral("Save report..."), &isp_);
    save_->setObjectName(QStringLiteral("SaveReport1"));
    save_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
    save_->setShortcutContext(Qt::WindowShortcut);
    isp_.addAction(save_);
    connect(save_, &QAction::triggered, this, [this] { SaveAsked(); });
}

SupportReport::~SupportReport() {
    dialogs_.RemoveObserver(observerId_);
}

void SupportReport::SaveAsked() {
    const QString path = dialogs_.SaveFileName(&isp_, QStringLiteral("Save report"),
                                               program_ + QStringLiteral("-report.txt"));
    if (path.isEmpty()) return;
    if (const int error = Save(path); error != 0) {
        // Not an error dialog: it has nothing to do with the update, which it must not end.
        dialogs_.Show(DialogSeam::Kind::Information,
                      QStringLiteral("The report could not be written to %1: %2")
                          .arg(path, QString::fromLocal8Bit(std::strerror(error))));
    }
}

void SupportReport::Note(const QString& text) {
    if (!runSeen_) return;
    run_.append(QString::asprintf("[%9.3f s] ", static_cast<double>(runClock_.elapsed()) / 1000.0) +
                text);
}

void SupportReport::OnStatusChanged() {
    if (!runSeen_) return;
    // A phase is the device's state and the step without its running number.
    int number = -1;
    const QString step = ProgressReport::Phase(isp_.StatusSimpleText(), &number);
    const QString phase =
        isp_.StatusPanelText(1) + (step.isEmpty() ? QString() : QStringLiteral(" | ") + step);
    if (phase == lastPhase_) return;
    lastPhase_ = phase;
    Note(QStringLiteral("phase: ") + phase);
}

void SupportReport::OnDialog(DialogSeam::Kind kind, const QString& text) {
    const QString what = kind == DialogSeam::Kind::Error         ? QStringLiteral("error")
                         : kind == DialogSeam::Kind::Information ? QStringLiteral("information")
                                                                 : QStringLiteral("question");
    Note(QStringLiteral("dialog (%1): \"%2\"").arg(what, text));
}

void SupportReport::SetExitStatus(int code, const QString& reason) {
    exitStatus_ = QStringLiteral("%1 (%2)").arg(code).arg(reason);
    Note(QStringLiteral("exit status ") + exitStatus_);
}

QString SupportReport::UnitsText() const {
    QString out;
    TJvHidDeviceController* controller = isp_.Controller();
    int n = 0;
    if (controller != nullptr) {
        for (TJvHidDevice* dev : controller->Devices()) {
            const HIDD_ATTRIBUTES& a = dev->Attributes;
            if (a.VendorID != kVeltoVendor ||
                (a.ProductID != kRunProduct && a.ProductID != kUpdateProduct))
                continue;
            ++n;
            out += QStringLiteral("unit %1: %2:%3 version %4, %5\n")
                       .arg(n)
                       .arg(Hex(a.VendorID, 4), Hex(a.ProductID, 4), Hex(a.VersionNumber, 4),
                            a.ProductID == kRunProduct ? QStringLiteral("run mode")
                                                       : QStringLiteral("update mode"));
            if (dev->PnPInfo != nullptr)
                out += QStringLiteral("  path: ") +
                       QString::fromStdString(dev->PnPInfo->DevicePath) + QLatin1Char('\n');
            if (dev->PluggedIn) {
                out += QStringLiteral("  product: \"%1\"\n  serial: \"%2\"\n")
                           .arg(QString::fromStdU16String(dev->GetProductName()),
                                QString::fromStdU16String(dev->GetSerialNumber()));
            } else {
                out += QStringLiteral("  (unplugged)\n");
            }
        }
    }
    if (n == 0) out += QStringLiteral("no Velto unit present\n");
    // What the unit said of itself in the last MCU update (zero before one).
    const UpdateSession& session = isp_.Session();
    const std::array<int, 3> ids = session.ReportedDeviceIds();
    out += QStringLiteral("reported firmware version: %1\n").arg(session.ReportedFirmwareVersion());
    out += QStringLiteral("reported device ID: %1, %2, %3\n")
               .arg(Hex(static_cast<unsigned>(ids[0]), 8), Hex(static_cast<unsigned>(ids[1]), 8),
                    Hex(static_cast<unsigned>(ids[2]), 8));
    return out;
}

QString SupportReport::Text() const {
    QString out;
    out += QStringLiteral("%1 report\n\n").arg(program_);
    out += QStringLiteral("== versions\n");
    out += QStringLiteral("program: %1 %2\n").arg(program_, QCoreApplication::applicationVersion());
    out += QStringLiteral("Qt: %1 (built with %2)\n")
               .arg(QString::fromLatin1(qVersion()), QStringLiteral(QT_VERSION_STR));
    out += QStringLiteral("kernel: %1 %2\n").arg(QSysInfo::kernelType(), QSysInfo::kernelVersion());
    out += QStringLiteral("HID backend: %1").arg(QString::fromLatin1(HidBackendModule()));
    if (TJvHidDeviceController* c = isp_.Controller(); c != nullptr && !c->HidVersion().empty())
        out += QStringLiteral(" %1").arg(QString::fromStdString(c->HidVersion()));
    if (!isp_.BackendProblem().isEmpty())
        out += QStringLiteral(" (not loaded: %1)").arg(isp_.BackendProblem());
    out += QStringLiteral("\n\n== units\n") + UnitsText();
    out += QStringLiteral("\n== last run\n");
    if (run_.isEmpty()) {
        out += QStringLiteral("no run\n");
    } else {
        out += run_.join(QLatin1Char('\n')) + QLatin1Char('\n');
    }
    if (!exitStatus_.isEmpty()) out += QStringLiteral("exit status: ") + exitStatus_ + '\n';
    out += QStringLiteral("window now: \"%1\" | \"%2\" | \"%3\", progress %4/%5\n")
               .arg(isp_.StatusPanelText(0), isp_.StatusPanelText(1), isp_.StatusSimpleText())
               .arg(isp_.ProgressPosition())
               .arg(isp_.ProgressMaximum());

    qint64 dropped = 0;
    const std::deque<QString> tail = trace_.Tail(&dropped);
    out += QStringLiteral("\n== trace (the last %1 lines").arg(tail.size());
    if (dropped > 0) out += QStringLiteral("; %1 earlier ones left out").arg(dropped);
    out += QStringLiteral(")\n");
    for (const QString& line : tail)
        out += line + QLatin1Char('\n');
    return out;
}

int SupportReport::Save(const QString& path) const {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return errno != 0 ? errno : EIO;
    const QByteArray bytes = Text().toUtf8();
    if (file.write(bytes) != bytes.size() || !file.flush()) return errno != 0 ? errno : EIO;
    return 0;
}
