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

void UpdaterApplication::ShowException(const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(QApplication::applicationName()), e.what());
    QMessageBox::critical(nullptr, QApplication::applicationDisplayName(),
                          QString::fromLocal8Bit(e.what()));
}
