#include "app/diag/hid_data.h"

#include <QFont>
#include <QListWidget>
#include <QVBoxLayout>

#include "app/window_placement.h"

TfmHidData::TfmHidData(QWidget* mainWindow) : QWidget(nullptr), mainWindow_(mainWindow) {
    setObjectName(QStringLiteral("fmHidData"));
    setWindowTitle(QStringLiteral("Hid Data"));
    QFont formFont = font();
    formFont.setPixelSize(11);
    setFont(formFont);
    // A service window: closing the main window ends the program even while this is open.
    setAttribute(Qt::WA_QuitOnClose, false);
    resize(ClientSizeForOuter(QSize(kWidth, kHeight), mainWindow_));

    hbHidData = new QListWidget(this);
    hbHidData->setObjectName(QStringLiteral("hbHidData"));
    hbHidData->setUniformItemSizes(true);
    hbHidData->setSelectionMode(QAbstractItemView::SingleSelection);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(hbHidData);

    if (mainWindow_ != nullptr) {
        const QRect main = mainWindow_->frameGeometry();
        PlaceOnScreen(*this, main.center() - QPoint(kWidth / 2, kHeight / 2),
                      QSize(kWidth, kHeight));
    }
}

void TfmHidData::PlaceAt(const QPoint& frameTopLeft) {
    if (!sized_ && mainWindow_ != nullptr && mainWindow_->isVisible()) {
        resize(ClientSizeForOuter(QSize(kWidth, kHeight), mainWindow_));
        sized_ = true;
    }
    PlaceOnScreen(*this, frameTopLeft, QSize(kWidth, kHeight));
}

void TfmHidData::AddLine(const QString& line) {
    if (!isVisible()) return;
    auto* item = new QListWidgetItem(line);
    item->setSizeHint(QSize(0, kItemHeight));
    hbHidData->addItem(item);
    hbHidData->setCurrentItem(item);
}
