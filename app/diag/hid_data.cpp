#include "app/diag/hid_data.h"

#include <QFont>
#include <QListWidget>
#include <QVBoxLayout>

TfmHidData::TfmHidData(QWidget* mainWindow) : QWidget(nullptr), mainWindow_(mainWindow) {
    setObjectName(QStringLiteral("fmHidData"));
    setWindowTitle(QStringLiteral("Hid Data"));
    QFont formFont = font();
    formFont.setPixelSize(11);
    setFont(formFont);
    // A service window: closing the main window ends the program even while this is open.
    setAttribute(Qt::WA_QuitOnClose, false);
    resize(kWidth, kHeight);

    hbHidData = new QListWidget(this);
    hbHidData->setObjectName(QStringLiteral("hbHidData"));
    hbHidData->setUniformItemSizes(true);
    hbHidData->setSelectionMode(QAbstractItemView::SingleSelection);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(hbHidData);

    if (mainWindow_ != nullptr) {
        const QRect main = mainWindow_->frameGeometry();
        move(main.center() - QPoint(kWidth / 2, kHeight / 2));
    }
}

void TfmHidData::AddLine(const QString& line) {
    if (!isVisible()) return;
    auto* item = new QListWidgetItem(line);
    item->setSizeHint(QSize(0, kItemHeight));
    hbHidData->addItem(item);
    hbHidData->setCurrentItem(item);
}
