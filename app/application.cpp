#include "app/application.h"

#include <QMessageBox>
#include <QString>

#include <cstdio>

bool UpdaterApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ShowException(e);
    }
    return false;
}

bool UpdaterApplication::unattended_ = false;

void UpdaterApplication::SetUnattended(bool unattended) {
    unattended_ = unattended;
}

void UpdaterApplication::ShowException(const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(QApplication::applicationName()), e.what());
    if (unattended_) {
        QApplication::exit(1);
        return;
    }
    QMessageBox::critical(nullptr, QApplication::applicationDisplayName(),
                          QString::fromLocal8Bit(e.what()));
}
