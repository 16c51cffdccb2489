#include "app/multi_unit_run.h"

#include <QTimer>

#include <algorithm>
#include <utility>

#include "app/command_line.h"
#include "app/desktop/desktop_integration.h"
#include "app/desktop/observed_dialogs.h"
// isp.h holds the diagnostic windows by QPointer, which needs their full types.
#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/dialogs.h"
#include "app/isp.h"
#include "app/json_lines.h"
#include "app/time_left.h"
#include "app/unit_board.h"
#include "app/unit_selection.h"
#include "hid/hid.h"
#include "hid/jvhidcontrollerclass.h"
#include "hid/moduleloader.h"

// One unit's session and its unattended runner. Members go in reverse order: the runner and
// the JSON records before the window, the window before its dialogs.
struct MultiUnitRun::Unit : public RunEvents {
    Unit(MultiUnitRun& run, UnitIdentity unit) : owner(run), identity(std::move(unit)) {}

    void OnStatus(const RunStatus& status, qint64 elapsedMs) override {
        if (json) json->OnStatus(status, elapsedMs);
        if (owner.board_ == nullptr) return;
        QString text =
            QStringLiteral("%1 %2  ")
                .arg(Port(), -8)
                .arg(QString::asprintf("%6.1f s", static_cast<double>(elapsedMs) / 1000.0));
        if (status.msLeft >= 0) text += TimeLeft::Format(status.msLeft) + QStringLiteral("  ");
        text += status.step.isEmpty() ? status.device : status.step;
        if (status.maximum > 0 && status.position > 0) {
            text += QStringLiteral("  %1 %").arg(static_cast<qint64>(status.position) * 100 /
                                                 status.maximum);
        }
        owner.board_->SetRow(row, text);
    }
    void OnMessage(const QString& text, qint64 elapsedMs) override {
        if (json) json->OnMessage(text, elapsedMs);
        if (owner.board_ != nullptr) owner.board_->Print(Port() + QStringLiteral(": ") + text);
    }
    void OnDialog(bool error, const QString& text, qint64 elapsedMs) override {
        if (json) json->OnDialog(error, text, elapsedMs);
        if (owner.board_ != nullptr) {
            owner.board_->Print(
                QStringLiteral("%1: dialog (%2): \"%3\"")
                    .arg(Port(), error ? QStringLiteral("error") : QStringLiteral("information"),
                         text));
        }
    }
    void OnFinished(int exitCode, const QString& reason, qint64 elapsedMs) override {
        if (json) json->OnFinished(exitCode, reason, elapsedMs);
        code = exitCode;
        why = reason;
        seconds = static_cast<double>(elapsedMs) / 1000.0;
        if (owner.board_ != nullptr) {
            owner.board_->SetRow(row, QStringLiteral("%1 %2  %3")
                                          .arg(Port(), -8)
                                          .arg(exitCode == exitcode::kOk ? QStringLiteral("PASS")
                                                                         : QStringLiteral("FAIL"))
                                          .arg(reason));
        }
    }
    QString Port() const { return QString::fromStdString(identity.port); }

    MultiUnitRun& owner;
    UnitIdentity identity;
    int row = -1;
    int code = -1;
    QString why;
    double seconds = 0;
    bool done = false;
    RecordingDialogs recorded;
    std::unique_ptr<ObservedDialogs> observed;
    std::unique_ptr<TfmIsp> window;
    std::unique_ptr<DesktopIntegration> desktop;
    std::unique_ptr<UnitJson> json;
    std::unique_ptr<AutoRunner> runner;
};

MultiUnitRun::MultiUnitRun(MultiRunSettings settings, std::FILE* out, std::FILE* err,
                           JsonLines* json, VerifierFor verifierFor, Trace trace)
    : settings_(std::move(settings)),
      out_(out),
      err_(err),
      json_(json),
      verifierFor_(std::move(verifierFor)),
      trace_(std::move(trace)) {
    if (settings_.terminal) board_ = std::make_unique<UnitBoard>(out_);
    deadline_ = new QTimer(this);
    deadline_->setSingleShot(true);
    deadline_->setTimerType(Qt::PreciseTimer);
    deadline_->setInterval(settings_.run.timeoutSeconds * 1000);
    connect(deadline_, &QTimer::timeout, this, [this] {
        if (!started_) {
            Finish(exitcode::kTimeout,
                   QStringLiteral("no Velto device found within %1 s (--timeout)")
                       .arg(settings_.run.timeoutSeconds));
        }
    });
}

MultiUnitRun::~MultiUnitRun() {
    // The runners and their windows go before the scout's controller.
    units_.clear();
    retired_.clear();
}

void MultiUnitRun::Start() {
    clock_.start();
    if (settings_.run.simulated) {
        Say(
            QStringLiteral("SIMULATED devices: this run updates the simulated devices in this "
                           "program; no real device is written"));
    }
    Say(settings_.loop ? QStringLiteral("waiting for units; each is updated as it is plugged in")
                       : QStringLiteral("waiting for the units"));
    scout_ = new TJvHidDeviceController(this);
    if (!IsHidLoaded()) {
        const QString why = QString::fromStdString(ModuleLoadError());
        std::fprintf(err_, "%s: the HID backend module cannot be loaded%s\n",
                     settings_.run.program.toLocal8Bit().constData(),
                     why.isEmpty() ? "" : (": " + why).toLocal8Bit().constData());
        QTimer::singleShot(0, this, [this] {
            Finish(exitcode::kNoBackend, QStringLiteral("the HID backend module cannot be loaded"));
        });
        return;
    }
    connect(scout_, &TJvHidDeviceController::DeviceChangeMessage, this,
            [this] { OnDevicesChanged(); });
    if (!settings_.loop) deadline_->start();
}

void MultiUnitRun::Say(const QString& text) {
    const QString line =
        QString::asprintf("[%8.3f] ", static_cast<double>(clock_.elapsed()) / 1000.0) + text;
    if (board_ != nullptr) {
        board_->Print(line);
    } else {
        std::fputs((line + QLatin1Char('\n')).toLocal8Bit().constData(), out_);
        std::fflush(out_);
    }
}

void MultiUnitRun::OnDevicesChanged() {
    if (finished_) return;
    const std::vector<UnitEntry> present = VeltoUnitsOf(*scout_);
    // A unit done and gone may come back (or another take its port): it is new then.
    for (auto it = donePresent_.begin(); it != donePresent_.end();) {
        const bool there = std::any_of(present.begin(), present.end(),
                                       [&](const UnitEntry& u) { return u.identity.port == *it; });
        it = there ? std::next(it) : donePresent_.erase(it);
    }
    if (!settings_.loop) {
        if (started_ || present.empty()) return;
        started_ = true;
        deadline_->stop();
        std::vector<UnitIdentity> ids;
        ids.reserve(present.size());
        for (const UnitEntry& unit : present)
            ids.push_back(unit.identity);
        std::sort(ids.begin(), ids.end(),
                  [](const UnitIdentity& a, const UnitIdentity& b) { return a.port < b.port; });
        Say(QStringLiteral("%1 unit(s) present: updating all of them").arg(ids.size()));
        for (const UnitIdentity& id : ids)
            StartUnit(id);
        return;
    }
    for (const UnitEntry& unit : present) {
        const std::string& port = unit.identity.port;
        if (units_.count(port) != 0 || donePresent_.count(port) != 0) continue;
        if (settings_.count > 0 && begun_ >= settings_.count) return;
        if (!unit.identity.serial.empty() && passedSerials_.count(unit.identity.serial) != 0 &&
            !settings_.again) {
            Say(QStringLiteral("%1: serial %2 already passed in this loop: skipped (--again "
                               "updates it again)")
                    .arg(QString::fromStdString(port),
                         QString::fromStdString(unit.identity.serial)));
            donePresent_.insert(port);
            continue;
        }
        StartUnit(unit.identity);
    }
}

void MultiUnitRun::StartUnit(const UnitIdentity& identity) {
    ++begun_;
    auto unit = std::make_unique<Unit>(*this, identity);
    Unit& u = *unit;
    const QString port = u.Port();
    if (settings_.loop) {
        Say(settings_.count > 0 ? QStringLiteral("unit %1 of %2: %3")
                                      .arg(begun_)
                                      .arg(settings_.count)
                                      .arg(QString::fromStdString(identity.Describe()))
                                : QStringLiteral("unit %1: %2")
                                      .arg(begun_)
                                      .arg(QString::fromStdString(identity.Describe())));
    }
    u.observed = std::make_unique<ObservedDialogs>(&u.recorded);
    u.window = std::make_unique<TfmIsp>(u.observed.get());
    u.observed->SetParent(u.window.get());
    u.window->SetImages(settings_.images);
    DesktopOptions desktop;
    desktop.launcherProgress = false;
    desktop.notifyAtEnd = false;
    u.desktop = std::make_unique<DesktopIntegration>(*u.window, *u.observed, desktop);
    if (trace_) {
        const QString prefix = QStringLiteral("[%1] ").arg(port);
        u.window->SetReportTrace([this, prefix](const QString& line) { trace_(prefix + line); });
    }
    // The port alone: in update mode a unit may report no serial.
    u.window->SetUnitRequest(UnitRequest{identity.port, {}});
    if (json_ != nullptr) {
        u.json = std::make_unique<UnitJson>(*json_, *u.window, port,
                                            QString::fromStdString(identity.serial));
    }
    AutoRunSettings run = settings_.run;
    run.linePrefix = QStringLiteral("[%1] ").arg(port);
    run.quietStart = true;
    u.runner =
        std::make_unique<AutoRunner>(*u.window, u.recorded, run, board_ != nullptr ? nullptr : out_,
                                     err_, verifierFor_ ? verifierFor_(identity) : nullptr);
    u.runner->SetEvents(&u);
    if (board_ != nullptr) u.row = board_->AddRow(port + QStringLiteral("  waiting"));
    connect(u.runner.get(), &AutoRunner::Finished, this, [this, &u] { OnUnitFinished(u); });
    units_[identity.port] = std::move(unit);
    u.runner->Start();
}

void MultiUnitRun::OnUnitFinished(Unit& unit) {
    if (unit.done) return;
    unit.done = true;
    results_.push_back({unit.identity, unit.code, unit.why, unit.seconds});
    if (unit.code == exitcode::kOk && !unit.identity.serial.empty())
        passedSerials_.insert(unit.identity.serial);
    if (settings_.loop) {
        donePresent_.insert(unit.identity.port);
        const int done = static_cast<int>(results_.size());
        Say(settings_.count > 0
                ? QStringLiteral("%1 of %2 done: %3 %4")
                      .arg(done)
                      .arg(settings_.count)
                      .arg(unit.Port(), unit.code == exitcode::kOk ? QStringLiteral("PASS")
                                                                   : QStringLiteral("FAIL"))
                : QStringLiteral("%1 done: %2 %3")
                      .arg(done)
                      .arg(unit.Port(), unit.code == exitcode::kOk ? QStringLiteral("PASS")
                                                                   : QStringLiteral("FAIL")));
        // Its session goes once the runner's signal is over; its port is free for the next.
        auto it = units_.find(unit.identity.port);
        if (it != units_.end()) {
            retired_.push_back(std::move(it->second));
            units_.erase(it);
        }
        QTimer::singleShot(0, this, [this] {
            retired_.clear();
            OnDevicesChanged();
        });
        if (settings_.count > 0 && done >= settings_.count) {
            QTimer::singleShot(0, this, [this] { Finish(-1, QString()); });
        }
        return;
    }
    const bool allDone = std::all_of(units_.begin(), units_.end(),
                                     [](const auto& entry) { return entry.second->done; });
    if (allDone) QTimer::singleShot(0, this, [this] { Finish(-1, QString()); });
}

void MultiUnitRun::Finish(int code, const QString& reason) {
    if (finished_) return;
    finished_ = true;
    deadline_->stop();
    int passed = 0;
    if (code < 0) {
        std::vector<Result> byPort = results_;
        std::stable_sort(byPort.begin(), byPort.end(), [](const Result& a, const Result& b) {
            return a.identity.port < b.identity.port;
        });
        code = exitcode::kOk;
        for (const Result& r : byPort) {
            if (r.code == exitcode::kOk) {
                ++passed;
            } else if (code == exitcode::kOk) {
                code = r.code;
            }
        }
    }
    exitCode_ = code;
    reason_ = !reason.isEmpty() ? reason
              : code == exitcode::kOk
                  ? QStringLiteral("every unit passed (%1)").arg(results_.size())
                  : QStringLiteral("%1 of %2 unit(s) failed")
                        .arg(static_cast<int>(results_.size()) - passed)
                        .arg(results_.size());
    // The board's last state stays on screen; what follows goes below it.
    if (board_ != nullptr) board_->Finish();
    board_.reset();
    PrintTable();
    Say(QStringLiteral("%1: %2 (exit %3, total %4 s)")
            .arg(code == exitcode::kOk ? QStringLiteral("PASS") : QStringLiteral("FAIL"), reason_)
            .arg(code)
            .arg(static_cast<double>(clock_.elapsed()) / 1000.0, 0, 'f', 3));
    if (json_ != nullptr) json_->WriteEnd(QStringLiteral("summary"), code, reason_);
    emit Finished(code);
}

void MultiUnitRun::PrintTable() {
    if (results_.empty()) return;
    QString table = QStringLiteral("%1 %2 %3 %4\n")
                        .arg(QStringLiteral("port"), -10)
                        .arg(QStringLiteral("serial"), -20)
                        .arg(QStringLiteral("result"), -8)
                        .arg(QStringLiteral("seconds"), 8);
    std::vector<Result> byPort = results_;
    std::stable_sort(byPort.begin(), byPort.end(), [](const Result& a, const Result& b) {
        return a.identity.port < b.identity.port;
    });
    for (const Result& r : byPort) {
        const QString result = r.code == exitcode::kOk ? QStringLiteral("PASS")
                                                       : QStringLiteral("FAIL %1").arg(r.code);
        table +=
            QStringLiteral("%1 %2 %3 %4")
                .arg(QString::fromStdString(r.identity.port), -10)
                .arg(QString::fromStdString(r.identity.serial.empty() ? "-" : r.identity.serial),
                     -20)
                .arg(result, -8)
                .arg(r.seconds, 8, 'f', 1);
        if (r.code != exitcode::kOk) table += QStringLiteral("  ") + r.why;
        table += QLatin1Char('\n');
    }
    std::fputs(table.toLocal8Bit().constData(), out_);
    std::fflush(out_);
}
