#include "app/diag/prog_data.h"

#include <QFont>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "app/diag/dump.h"
#include "app/diag/fixed_font.h"
#include "app/window_placement.h"

TfmProgData::TfmProgData(QWidget* mainWindow) : QDialog(nullptr), mainWindow_(mainWindow) {
    setObjectName(QStringLiteral("fmProgData"));
    setWindowTitle(QStringLiteral("Program Data"));
    QFont formFont = font();
    formFont.setPixelSize(11);
    setFont(formFont);
    setAttribute(Qt::WA_QuitOnClose, false);
    resize(ClientSizeForOuter(QSize(kWidth, kHeight), mainWindow_));

    moShowCode = new QPlainTextEdit(this);
    moShowCode->setObjectName(QStringLiteral("moShowCode"));
    moShowCode->setReadOnly(true);
    moShowCode->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    moShowCode->setFont(FixedPitchFont(13));
    moShowCode->setPlainText(QStringLiteral("Memo1"));
    setAccessibleName(QStringLiteral("Program data"));
    setAccessibleDescription(
        QStringLiteral("Service window: the image the update writes, as a hex dump"));
    moShowCode->setAccessibleName(QStringLiteral("Dump"));
    moShowCode->setAccessibleDescription(
        QStringLiteral("One line per 16 bytes: the address, the bytes in hex, then as text"));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(moShowCode);
}

void TfmProgData::ShowDump(const uint8_t* bytes, std::size_t count, uint32_t start) {
    if (bytes == nullptr) count = 0;
    // One assignment: the editor lays the text out once, not line by line.
    moShowCode->setPlainText(QString::fromStdString(FormatDump(bytes, count, start)));
}

QString TfmProgData::Text() const {
    // The editor stores each "\r\n" of the dump as one line break ('\n'); the dump's printable
    // column never holds a line-end character, so turning them back gives the dump again.
    QString text = moShowCode->toPlainText();
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return text;
}

void TfmProgData::showEvent(QShowEvent* event) {
    if (mainWindow_ != nullptr) {
        if (!sized_ && mainWindow_->isVisible()) {
            resize(ClientSizeForOuter(QSize(kWidth, kHeight), mainWindow_));
            sized_ = true;
        }
        const QRect main = mainWindow_->frameGeometry();
        const QRect own(QPoint(0, 0), QSize(kWidth, kHeight));
        PlaceOnScreen(*this, main.center() - own.center(), own.size());
    }
    QDialog::showEvent(event);
}
