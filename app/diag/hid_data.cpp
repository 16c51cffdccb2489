#include "app/diag/hid_data.h"

#include <QFile>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QSize>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "app/diag/fixed_font.h"
#include "app/dialogs.h"
#include "app/window_placement.h"

// ---- HidLogModel ----

HidLogModel::HidLogModel(int capacity, int itemHeight, QObject* parent)
    : QAbstractListModel(parent), capacity_(std::max(capacity, 1)), itemHeight_(itemHeight) {}

int HidLogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(lines_.size());
}

QVariant HidLogModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 ||
        static_cast<std::size_t>(index.row()) >= lines_.size())
        return {};
    if (role == Qt::DisplayRole) return lines_[static_cast<std::size_t>(index.row())];
    if (role == Qt::SizeHintRole) return QSize(0, itemHeight_);
    return {};
}

void HidLogModel::Append(const QStringList& lines) {
    if (lines.isEmpty()) return;
    // More lines than the list holds: only the newest of them are ever shown.
    const auto incoming = static_cast<std::size_t>(lines.size());
    const auto capacity = static_cast<std::size_t>(capacity_);
    const std::size_t skip = incoming > capacity ? incoming - capacity : 0;
    const std::size_t adding = incoming - skip;
    const std::size_t drop = std::min(
        lines_.size(), lines_.size() + adding > capacity ? lines_.size() + adding - capacity : 0);
    if (drop > 0) {
        beginRemoveRows(QModelIndex(), 0, static_cast<int>(drop) - 1);
        lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(drop));
        endRemoveRows();
    }
    dropped_ += static_cast<int64_t>(drop + skip);
    const int first = static_cast<int>(lines_.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(adding) - 1);
    for (std::size_t i = skip; i < incoming; ++i)
        lines_.push_back(lines[static_cast<qsizetype>(i)]);
    endInsertRows();
}

// ---- TfmHidData ----

TfmHidData::TfmHidData(QWidget* mainWindow, int capacity)
    : QWidget(nullptr), mainWindow_(mainWindow) {
    setObjectName(QStringLiteral("fmHidData"));
    setWindowTitle(QStringLiteral("Hid Data"));
    QFont formFont = font();
    formFont.setPixelSize(11);
    setFont(formFont);
    // A service window: closing the main window ends the program even while this is open.
    setAttribute(Qt::WA_QuitOnClose, false);
    resize(ClientSizeForOuter(QSize(kWidth, kHeight), mainWindow_));

    model_ = new HidLogModel(capacity, kItemHeight, this);
    hbHidData = new QListView(this);
    hbHidData->setObjectName(QStringLiteral("hbHidData"));
    hbHidData->setModel(model_);
    // Every row the same height: the view never measures the lines one by one.
    hbHidData->setUniformItemSizes(true);
    hbHidData->setSelectionMode(QAbstractItemView::SingleSelection);
    hbHidData->setEditTriggers(QAbstractItemView::NoEditTriggers);
    hbHidData->setFont(FixedPitchFont(11));

    lbDropped = new QLabel(this);
    lbDropped->setObjectName(QStringLiteral("lbDropped"));
    btnSave = new QPushButton(QStringLiteral("Save..."), this);
    btnSave->setObjectName(QStringLiteral("btnSave"));
    btnSave->setAutoDefault(false);
    connect(btnSave, &QPushButton::clicked, this, [this] { SaveClick(); });
    setAccessibleName(QStringLiteral("HID log"));
    setAccessibleDescription(
        QStringLiteral("Service window: every report written to the device and passed on from it"));
    hbHidData->setAccessibleName(QStringLiteral("Reports"));
    hbHidData->setAccessibleDescription(QStringLiteral(
        "One line per report: W for written, R for read, the report ID, then its bytes in hex"));
    lbDropped->setAccessibleName(QStringLiteral("Lines dropped"));
    lbDropped->setAccessibleDescription(
        QStringLiteral("How many of the oldest lines the log no longer holds"));
    btnSave->setAccessibleName(QStringLiteral("Save"));
    btnSave->setAccessibleDescription(QStringLiteral("Writes the log's lines to a text file"));

    auto* bottom = new QHBoxLayout;
    bottom->setContentsMargins(4, 2, 4, 2);
    bottom->addWidget(lbDropped, 1);
    bottom->addWidget(btnSave);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(hbHidData, 1);
    layout->addLayout(bottom);
    UpdateDroppedNote();

    batch_ = new QTimer(this);
    batch_->setSingleShot(true);
    batch_->setInterval(kBatchMs);
    connect(batch_, &QTimer::timeout, this, [this] { Flush(); });

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
    pending_.append(line);
    if (!batch_->isActive()) batch_->start();
}

void TfmHidData::Flush() {
    batch_->stop();
    if (pending_.isEmpty()) return;
    QStringList lines;
    lines.swap(pending_);
    model_->Append(lines);
    // The newest line is the selected one, and in view.
    const QModelIndex last = model_->index(model_->rowCount() - 1, 0);
    hbHidData->setCurrentIndex(last);
    hbHidData->scrollTo(last);
    UpdateDroppedNote();
}

int TfmHidData::LineCount() const {
    return model_->rowCount();
}

QString TfmHidData::Line(int row) const {
    return model_->data(model_->index(row, 0)).toString();
}

int TfmHidData::CurrentRow() const {
    return hbHidData->currentIndex().row();
}

int64_t TfmHidData::DroppedCount() const {
    return model_->Dropped();
}

QString TfmHidData::DroppedNote() const {
    return lbDropped->text();
}

void TfmHidData::UpdateDroppedNote() {
    const int64_t dropped = model_->Dropped();
    lbDropped->setText(dropped == 0 ? QString()
                                    : QStringLiteral("%1 older lines dropped (the list keeps the "
                                                     "last %2)")
                                          .arg(dropped)
                                          .arg(model_->Capacity()));
}

bool TfmHidData::SaveTo(const QString& path, QString* error) {
    Flush();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        if (error != nullptr) *error = file.errorString();
        return false;
    }
    QByteArray text;
    for (const QString& line : model_->Lines()) {
        text += line.toLatin1();
        text += '\n';
    }
    file.write(text);
    if (!file.commit()) {
        if (error != nullptr) *error = file.errorString();
        return false;
    }
    return true;
}

void TfmHidData::SaveClick() {
    const QString title = QStringLiteral("Save the HID log");
    const QString suggested = QStringLiteral("hid-log.txt");
    const QString path = dialogs_ != nullptr
                             ? dialogs_->SaveFileName(this, title, suggested)
                             : MessageBoxDialogs(this).SaveFileName(this, title, suggested);
    if (path.isEmpty()) return;
    QString error;
    if (SaveTo(path, &error)) return;
    const QString text = QStringLiteral("Cannot write %1: %2").arg(path, error);
    if (dialogs_ != nullptr) {
        dialogs_->Show(DialogSeam::Kind::Error, text);
    } else {
        MessageBoxDialogs(this).Show(DialogSeam::Kind::Error, text);
    }
}
