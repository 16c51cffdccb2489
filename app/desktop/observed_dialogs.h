// A dialog seam that tells an observer of every message dialog before it is shown, then hands
// the dialog on: to the seam it wraps, or to real message boxes when it wraps none.
#pragma once

#include <functional>

#include "app/dialogs.h"

class ObservedDialogs : public DialogSeam {
  public:
    // inner: not owned, null for real message boxes (parented to SetParent's window).
    explicit ObservedDialogs(DialogSeam* inner = nullptr) : inner_(inner) {}

    void SetParent(QWidget* parent) { parent_ = parent; }
    void SetObserver(std::function<void(Kind kind, const QString& text)> observer);

    void Show(Kind kind, const QString& text) override;
    bool Confirm(const QString& text) override;
    QString SaveFileName(QWidget* parent, const QString& title, const QString& suggested) override;
    void ShowModal(QDialog& window) override;

  private:
    DialogSeam* inner_;
    QWidget* parent_ = nullptr;
    std::function<void(Kind, const QString&)> observer_;
};
