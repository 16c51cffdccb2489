// Modal dialogs of the updater go through one seam, so that tests and the unattended runner can
// observe and answer them instead of blocking on a real message box.
#pragma once

#include <QString>

#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

class QDialog;
class QWidget;

class DialogSeam {
  public:
    enum class Kind { Information, Error, Question };

    virtual ~DialogSeam();
    // A message dialog with one OK button; returns when the user has answered it.
    virtual void Show(Kind kind, const QString& text) = 0;
    // A question with "Yes" and "No", "No" the default; true for "Yes".
    virtual bool Confirm(const QString& text) = 0;
    // Asks for the name of a file to write; empty when the user cancelled.
    virtual QString SaveFileName(QWidget* parent, const QString& title, const QString& suggested);
    // Shows a window modally (the program-data dump); returns when it has been closed.
    virtual void ShowModal(QDialog& window);
};

// Real message boxes, parented to the given window.
class MessageBoxDialogs : public DialogSeam {
  public:
    explicit MessageBoxDialogs(QWidget* parent = nullptr) : parent_(parent) {}
    void Show(Kind kind, const QString& text) override;
    bool Confirm(const QString& text) override;

  private:
    QWidget* parent_;
};

// Records every dialog instead of showing it. Modal windows are shown without blocking;
// questions get the answer set beforehand ("No" unless set), file names the name set
// beforehand (none unless set).
class RecordingDialogs : public DialogSeam {
  public:
    struct Entry {
        Kind kind;
        QString text;
    };

    void Show(Kind kind, const QString& text) override;
    bool Confirm(const QString& text) override;
    QString SaveFileName(QWidget* parent, const QString& title, const QString& suggested) override;
    void ShowModal(QDialog& window) override;

    void SetConfirmAnswer(bool yes);
    void SetSaveFileName(const QString& path);

    std::vector<Entry> Entries() const;
    std::size_t Count() const;
    // Number of dialogs of this kind with exactly this text.
    std::size_t Count(Kind kind, const QString& text) const;
    int ModalWindowsShown() const;
    void Clear();
    // Called after each recorded dialog (for example by the unattended runner).
    void SetOnShow(std::function<void(const Entry&)> onShow);

  private:
    mutable std::mutex lock_;
    std::vector<Entry> entries_;
    int modalShown_ = 0;
    bool confirmAnswer_ = false;
    QString saveFileName_;
    std::function<void(const Entry&)> onShow_;
};
