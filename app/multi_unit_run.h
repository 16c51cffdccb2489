// Several units updated at once in one process (--auto --all, --auto --loop). Each unit gets
// a session of its own: a window that is never shown, fixed to the unit's port, with its own
// link, reader, timers and unattended runner, so that a unit that fails, leaves or falls silent
// never stops or slows the others. On a terminal each unit has a progress line; to a pipe each
// event is a line of its own, prefixed by the unit's port. At the end a table of the units.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "app/auto_run.h"
#include "app/isp.h"
#include "hid/unit_identity.h"

class JsonLines;
class QTimer;
class TJvHidDeviceController;
class UnitBoard;

struct MultiRunSettings {
    AutoRunSettings run;  // for each unit's runner (its prefix is set per unit)
    bool loop = false;    // false: the units present at the start (--all)
    int count = 0;        // loop: stop after this many units (0: never)
    bool again = false;   // loop: update a serial that passed before
    bool terminal = false;
    UpdateImages images;  // none set: the embedded ones
};

class MultiUnitRun : public QObject {
    Q_OBJECT

  public:
    // The verifier for a unit (null: none); it outlives the run.
    using VerifierFor = std::function<AutoVerifier*(const UnitIdentity& unit)>;
    // Trace lines of every unit, each prefixed by its port; may be empty.
    using Trace = std::function<void(const QString& line)>;

    // out: progress and the table (standard error when json is set); json: null for none.
    MultiUnitRun(MultiRunSettings settings, std::FILE* out, std::FILE* err, JsonLines* json,
                 VerifierFor verifierFor, Trace trace);
    ~MultiUnitRun() override;

    void Start();
    int ExitCode() const { return exitCode_; }
    QString Reason() const { return reason_; }

  signals:
    void Finished(int exitCode);

  private:
    struct Unit;
    struct Result {
        UnitIdentity identity;
        int code = -1;
        QString why;
        double seconds = 0;
    };

    void OnDevicesChanged();
    void StartUnit(const UnitIdentity& identity);
    void OnUnitFinished(Unit& unit);
    void Say(const QString& text);
    void Finish(int code, const QString& reason);
    void PrintTable();

    MultiRunSettings settings_;
    std::FILE* out_;
    std::FILE* err_;
    JsonLines* json_;
    VerifierFor verifierFor_;
    Trace trace_;
    TJvHidDeviceController* scout_ = nullptr;
    QTimer* deadline_ = nullptr;
    std::unique_ptr<UnitBoard> board_;
    QElapsedTimer clock_;
    // By port; a unit is kept after its run, for the table.
    std::map<std::string, std::unique_ptr<Unit>> units_;
    // Sessions of a loop whose run is over, let go from the event loop.
    std::vector<std::unique_ptr<Unit>> retired_;
    std::vector<Result> results_;
    // Ports whose unit finished and is still plugged in: not taken again until it leaves.
    std::set<std::string> donePresent_;
    std::set<std::string> passedSerials_;
    bool started_ = false;  // --all: the units were taken
    bool finished_ = false;
    int begun_ = 0;
    int exitCode_ = -1;
    QString reason_;
};
