#include "app/dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>

#include <algorithm>
#include <utility>

DialogSeam::~DialogSeam() = default;

void DialogSeam::ShowModal(QDialog& window) {
    window.exec();
}

QString DialogSeam::SaveFileName(QWidget* parent, const QString& title, const QString& suggested) {
    return QFileDialog::getSaveFileName(parent, title, suggested);
}

void MessageBoxDialogs::Show(Kind kind, const QString& text) {
    const QString title = QApplication::applicationDisplayName();
    if (kind == Kind::Error) {
        QMessageBox::critical(parent_, title, text, QMessageBox::Ok);
    } else {
        QMessageBox::information(parent_, title, text, QMessageBox::Ok);
    }
}

bool MessageBoxDialogs::Confirm(const QString& text) {
    const QString title = QApplication::applicationDisplayName();
    return QMessageBox::question(parent_, title, text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void RecordingDialogs::Show(Kind kind, const QString& text) {
    std::function<void(const Entry&)> onShow;
    Entry entry{kind, text};
    {
        std::lock_guard<std::mutex> guard(lock_);
        entries_.push_back(entry);
        onShow = onShow_;
    }
    // Outside the lock: the callback may look at the entries.
    if (onShow) onShow(entry);
}

bool RecordingDialogs::Confirm(const QString& text) {
    Show(Kind::Question, text);
    std::lock_guard<std::mutex> guard(lock_);
    return confirmAnswer_;
}

QString RecordingDialogs::SaveFileName(QWidget* /*parent*/, const QString& /*title*/,
                                       const QString& /*suggested*/) {
    std::lock_guard<std::mutex> guard(lock_);
    return saveFileName_;
}

void RecordingDialogs::SetConfirmAnswer(bool yes) {
    std::lock_guard<std::mutex> guard(lock_);
    confirmAnswer_ = yes;
}

void RecordingDialogs::SetSaveFileName(const QString& path) {
    std::lock_guard<std::mutex> guard(lock_);
    saveFileName_ = path;
}

void RecordingDialogs::ShowModal(QDialog& window) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++modalShown_;
    }
    window.show();
}

std::vector<RecordingDialogs::Entry> RecordingDialogs::Entries() const {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_;
}

std::size_t RecordingDialogs::Count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_.size();
}

std::size_t RecordingDialogs::Count(Kind kind, const QString& text) const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(),
                      [&](const Entry& e) { return e.kind == kind && e.text == text; }));
}

int RecordingDialogs::ModalWindowsShown() const {
    std::lock_guard<std::mutex> guard(lock_);
    return modalShown_;
}

void RecordingDialogs::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.clear();
    modalShown_ = 0;
}

void RecordingDialogs::SetOnShow(std::function<void(const Entry&)> onShow) {
    std::lock_guard<std::mutex> guard(lock_);
    onShow_ = std::move(onShow);
}
