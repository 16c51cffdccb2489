#include "app/desktop/desktop_integration.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QProgressBar>
#include <QStringList>
#include <QVariantMap>

#include <utility>

// isp.h holds the diagnostic windows by QPointer, which needs their full types.
#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/isp.h"

namespace {

const QString kWhy = QStringLiteral(
    "Writing firmware into the Velto device: sleeping or shutting down now would leave it half "
    "written");
constexpr int kNotifyTimeoutMs = 5000;

}  // namespace

DesktopIntegration::DesktopIntegration(TfmIsp& isp, ObservedDialogs& dialogs,
                                       DesktopOptions options, QObject* parent)
    : QObject(parent),
      isp_(isp),
      dialogs_(dialogs),
      options_(std::move(options)),
      watch_(isp),
      inhibitor_(QApplication::applicationDisplayName(), kWhy),
      launcher_(options_.appId) {
    observerId_ = dialogs_.AddObserver(
        [this](DialogSeam::Kind kind, const QString& text) { watch_.OnDialog(kind, text); });
    connect(&watch_, &RunObserver::Started, this, [this] { OnStarted(); });
    connect(&watch_, &RunObserver::Progress, this,
            [this](double fraction, qint64 msLeft) { OnProgress(fraction, msLeft); });
    connect(&watch_, &RunObserver::Ended, this,
            [this](bool ok, const QString& text) { OnEnded(ok, text); });
}

DesktopIntegration::~DesktopIntegration() {
    dialogs_.RemoveObserver(observerId_);
    inhibitor_.Release();
    if (options_.launcherProgress) launcher_.Clear();
}

void DesktopIntegration::OnStarted() {
    if (options_.inhibitSleep) inhibitor_.Acquire();
}

void DesktopIntegration::OnProgress(double fraction, qint64 msLeft) {
    if (options_.launcherProgress) launcher_.SetProgress(fraction);
    ShowTimeLeft(msLeft);
}

void DesktopIntegration::ShowTimeLeft(qint64 msLeft) {
    QProgressBar* bar = isp_.pbProgress;
    if (msLeft < 0) {
        bar->setTextVisible(false);
        bar->resetFormat();
        bar->setToolTip(QString());
        return;
    }
    const QString text = TimeLeft::Format(msLeft);
    bar->setFormat(text);
    bar->setTextVisible(true);
    bar->setToolTip(text + QStringLiteral(" at the least: the packets and blocks still to go, "
                                          "at the pace of the update's timers"));
}

void DesktopIntegration::OnEnded(bool ok, const QString& text) {
    inhibitor_.Release();
    if (options_.launcherProgress) launcher_.Clear();
    ShowTimeLeft(-1);
    if (options_.notifyAtEnd && !isp_.isActiveWindow()) Notify(ok, text);
}

void DesktopIntegration::Notify(bool ok, const QString& text) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QString summary =
        ok ? QStringLiteral("The device is updated") : QStringLiteral("The update did not finish");
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), options_.appId);
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(ok ? 1 : 2));
    call << QApplication::applicationDisplayName() << uint(0) << options_.appId << summary
         << text.trimmed() << QStringList() << hints << int(-1);
    // The answer (the notification's number) is of no use; the call must not wait for it.
    bus.asyncCall(call, kNotifyTimeoutMs);
}
