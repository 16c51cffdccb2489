// The program-data window: a hexadecimal dump of the image last prepared for sending.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>

#include <cstddef>
#include <cstdint>

class QPlainTextEdit;

class TfmProgData : public QDialog {
    Q_OBJECT

  public:
    // Outer size, frame included.
    static constexpr int kWidth = 654;
    static constexpr int kHeight = 545;

    // mainWindow: the window this one is centred on when shown.
    explicit TfmProgData(QWidget* mainWindow = nullptr);

    // Replaces the memo's text with the dump of count bytes, the first at address start.
    void ShowDump(const uint8_t* bytes, std::size_t count, uint32_t start);
    // The memo's text with "\r\n" line ends (the editor keeps lines, not line-end characters).
    QString Text() const;

    QPlainTextEdit* moShowCode = nullptr;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QPointer<QWidget> mainWindow_;
    bool sized_ = false;  // on the first show, with the main window's real frame
};
