#include "app/desktop/observed_dialogs.h"

#include <utility>

#include <algorithm>

int ObservedDialogs::AddObserver(Observer observer) {
    observers_.emplace_back(++nextId_, std::move(observer));
    return nextId_;
}

void ObservedDialogs::RemoveObserver(int id) {
    std::erase_if(observers_, [id](const auto& o) { return o.first == id; });
}

void ObservedDialogs::Show(Kind kind, const QString& text) {
    // First: a modal box holds the caller until it is answered, and the run ended before.
    for (const auto& [id, observer] : observers_)
        observer(kind, text);
    if (inner_ != nullptr) {
        inner_->Show(kind, text);
    } else {
        MessageBoxDialogs(parent_).Show(kind, text);
    }
}

bool ObservedDialogs::Confirm(const QString& text) {
    if (inner_ != nullptr) return inner_->Confirm(text);
    return MessageBoxDialogs(parent_).Confirm(text);
}

QString ObservedDialogs::SaveFileName(QWidget* parent, const QString& title,
                                      const QString& suggested) {
    if (inner_ != nullptr) return inner_->SaveFileName(parent, title, suggested);
    return DialogSeam::SaveFileName(parent, title, suggested);
}

void ObservedDialogs::ShowModal(QDialog& window) {
    if (inner_ != nullptr) {
        inner_->ShowModal(window);
    } else {
        DialogSeam::ShowModal(window);
    }
}
