// A dialog seam that tells its observers of every message dialog before it is shown, then hands
// the dialog on: to the seam it wraps, or to real message boxes when it wraps none.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "app/dialogs.h"

class ObservedDialogs : public DialogSeam {
  public:
    // inner: not owned, null for real message boxes (parented to SetParent's window).
    explicit ObservedDialogs(DialogSeam* inner = nullptr) : inner_(inner) {}

    void SetParent(QWidget* parent) { parent_ = parent; }
    using Observer = std::function<void(Kind kind, const QString& text)>;
    // Returns a number for RemoveObserver.
    int AddObserver(Observer observer);
    void RemoveObserver(int id);

    void Show(Kind kind, const QString& text) override;
    bool Confirm(const QString& text) override;
    QString SaveFileName(QWidget* parent, const QString& title, const QString& suggested) override;
    void ShowModal(QDialog& window) override;

  private:
    DialogSeam* inner_;
    QWidget* parent_ = nullptr;
    std::vector<std::pair<int, Observer>> observers_;
    int nextId_ = 0;
};
