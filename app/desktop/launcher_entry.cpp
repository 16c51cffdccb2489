#include "app/desktop/launcher_entry.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

#include <algorithm>
#include <cmath>

namespace {

const QString kPath = QStringLiteral("/com/velto/VeltoUpdate/LauncherEntry");
const QString kInterface = QStringLiteral("com.canonical.Unity.LauncherEntry");

}  // namespace

QString LauncherEntry::AppUri(const QString& appId) {
    return QStringLiteral("application://") + appId + QStringLiteral(".desktop");
}

LauncherEntry::LauncherEntry(const QString& appId) : appUri_(AppUri(appId)) {}

void LauncherEntry::SetProgress(double fraction) {
    const double f = std::clamp(fraction, 0.0, 1.0);
    const int percent = static_cast<int>(std::floor(f * 100.0));
    if (shown_ && percent == lastPercent_) return;
    shown_ = true;
    lastPercent_ = percent;
    Send(f, true);
}

void LauncherEntry::Clear() {
    if (!shown_) return;
    shown_ = false;
    lastPercent_ = -1;
    Send(0.0, false);
}

void LauncherEntry::Send(double fraction, bool visible) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("Update"));
    QVariantMap properties;
    properties.insert(QStringLiteral("progress"), fraction);
    properties.insert(QStringLiteral("progress-visible"), visible);
    signal << appUri_ << properties;
    bus.send(signal);
}
