// Output for scripts (--json): one JSON object per line on standard output, for each event of
// each unit's run and a final record per unit; every line is a whole object, so a reader that
// stops at any line still holds valid JSON.
#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdio>

#include "app/auto_run.h"

class TfmIsp;

class JsonLines {
  public:
    explicit JsonLines(std::FILE* out) : out_(out) {}

    // Writes the record with "time" (UTC, ISO 8601 with milliseconds) added, and flushes.
    void Write(QJsonObject record);
    // A record for an end that is no unit's (a bad option, the summary of several units).
    void WriteEnd(const QString& event, int exitCode, const QString& text);

  private:
    std::FILE* out_;
};

// The records of one unit's run. The final record holds the unit's port and serial, the
// firmware version the unit reported, the images' checksums, the result and the exit status.
class UnitJson : public RunEvents {
  public:
    UnitJson(JsonLines& out, TfmIsp& isp, QString port, QString serial);

    void OnStatus(const RunStatus& status, qint64 elapsedMs) override;
    void OnMessage(const QString& text, qint64 elapsedMs) override;
    void OnDialog(bool error, const QString& text, qint64 elapsedMs) override;
    void OnFinished(int exitCode, const QString& reason, qint64 elapsedMs) override;

    // "sha256:..." of the MCU image's HEX lines and of the DSP image's words, as written.
    static QString McuImageChecksum(const TfmIsp& isp);
    static QString DspImageChecksum(const TfmIsp& isp);

  private:
    void TakeUnitFromSession();
    QJsonObject Record(const QString& event, qint64 elapsedMs);

    JsonLines& out_;
    TfmIsp& isp_;
    QString port_;
    QString serial_;
};
