// The application object of both updaters: an exception that escapes an event handler or
// start-up is shown in a message box (and on standard error), and the program goes on.
#pragma once

#include <QApplication>

#include <exception>

class UpdaterApplication : public QApplication {
  public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override;

    // Shown in a message box, and on standard error; unattended, only on standard error, and
    // the program ends with exit code 1 (a run whose handler failed half-way cannot go on).
    static void ShowException(const std::exception& e);
    static void SetUnattended(bool unattended);

  private:
    static bool unattended_;
};
