#include "app/json_lines.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonDocument>

#include <utility>

// isp.h holds the diagnostic windows by QPointer, which needs their full types.
#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/isp.h"
#include "firmware/images.h"

namespace {

// A stable name for scripts, where the window's texts are for people.
QString PhaseKey(RunPhase phase) {
    switch (phase) {
        case RunPhase::Idle:
            return QStringLiteral("idle");
        case RunPhase::ModeSwitch:
            return QStringLiteral("mode_switch");
        case RunPhase::McuHandshake:
            return QStringLiteral("mcu_handshake");
        case RunPhase::McuStart:
            return QStringLiteral("mcu_start");
        case RunPhase::McuData:
            return QStringLiteral("mcu_data");
        case RunPhase::McuReset:
            return QStringLiteral("mcu_reset");
        case RunPhase::ParamRead:
            return QStringLiteral("parameter_read");
        case RunPhase::DspPrepare:
            return QStringLiteral("dsp_prepare");
        case RunPhase::DspProgram:
            return QStringLiteral("dsp_program");
    }
    return QStringLiteral("idle");
}

QString Sha256(const QByteArray& bytes) {
    return QStringLiteral("sha256:") +
           QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

}  // namespace

void JsonLines::Write(QJsonObject record) {
    record.insert(QStringLiteral("time"),
                  QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact);
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void JsonLines::WriteEnd(const QString& event, int exitCode, const QString& text) {
    QJsonObject record;
    record.insert(QStringLiteral("event"), event);
    record.insert(QStringLiteral("exit"), exitCode);
    record.insert(QStringLiteral("text"), text);
    Write(record);
}

UnitJson::UnitJson(JsonLines& out, TfmIsp& isp, QString port, QString serial)
    : out_(out), isp_(isp), port_(std::move(port)), serial_(std::move(serial)) {}

void UnitJson::TakeUnitFromSession() {
    // A run of one unit learns which unit it is once the window holds it.
    const auto& unit = isp_.Session().LastUnit();
    if (!unit) return;
    if (port_.isEmpty()) port_ = QString::fromStdString(unit->port);
    if (serial_.isEmpty()) serial_ = QString::fromStdString(unit->serial);
}

QJsonObject UnitJson::Record(const QString& event, qint64 elapsedMs) {
    TakeUnitFromSession();
    QJsonObject record;
    record.insert(QStringLiteral("unit"), port_);
    if (!serial_.isEmpty()) record.insert(QStringLiteral("serial"), serial_);
    record.insert(QStringLiteral("event"), event);
    record.insert(QStringLiteral("elapsed_s"), static_cast<double>(elapsedMs) / 1000.0);
    return record;
}

void UnitJson::OnStatus(const RunStatus& status, qint64 elapsedMs) {
    QJsonObject record = Record(QStringLiteral("progress"), elapsedMs);
    const RunPhase phase = isp_.Session().Watch().Phase();
    record.insert(QStringLiteral("phase"), PhaseKey(phase));
    record.insert(QStringLiteral("device"), status.device);
    record.insert(QStringLiteral("step"), status.step);
    if (status.maximum > 0 && (phase == RunPhase::McuData || phase == RunPhase::DspProgram)) {
        record.insert(
            phase == RunPhase::McuData ? QStringLiteral("packet") : QStringLiteral("block"),
            status.position);
        record.insert(QStringLiteral("total"), status.maximum);
        record.insert(
            QStringLiteral("percent"),
            static_cast<int>(static_cast<qint64>(status.position) * 100 / status.maximum));
    }
    if (status.msLeft >= 0)
        record.insert(QStringLiteral("left_s"), static_cast<double>(status.msLeft) / 1000.0);
    out_.Write(record);
}

void UnitJson::OnMessage(const QString& text, qint64 elapsedMs) {
    QJsonObject record = Record(QStringLiteral("message"), elapsedMs);
    record.insert(QStringLiteral("text"), text);
    out_.Write(record);
}

void UnitJson::OnDialog(bool error, const QString& text, qint64 elapsedMs) {
    QJsonObject record = Record(QStringLiteral("dialog"), elapsedMs);
    record.insert(QStringLiteral("kind"),
                  error ? QStringLiteral("error") : QStringLiteral("information"));
    record.insert(QStringLiteral("text"), text);
    out_.Write(record);
}

void UnitJson::OnFinished(int exitCode, const QString& reason, qint64 elapsedMs) {
    QJsonObject record = Record(QStringLiteral("result"), elapsedMs);
    record.insert(QStringLiteral("port"), port_);
    record.insert(QStringLiteral("serial"), serial_);
    const int version = isp_.Session().ReportedFirmwareVersion();
    record.insert(QStringLiteral("firmware_version"),
                  version != 0
                      ? QJsonValue(QStringLiteral("0x%1").arg(version, 2, 16, QLatin1Char('0')))
                      : QJsonValue());
    record.insert(QStringLiteral("mcu_image"), McuImageChecksum(isp_));
    record.insert(QStringLiteral("dsp_image"), DspImageChecksum(isp_));
    record.insert(QStringLiteral("result"),
                  exitCode == 0 ? QStringLiteral("pass") : QStringLiteral("fail"));
    record.insert(QStringLiteral("exit"), exitCode);
    record.insert(QStringLiteral("text"), reason);
    record.insert(QStringLiteral("seconds"), static_cast<double>(elapsedMs) / 1000.0);
    out_.Write(record);
}

QString UnitJson::McuImageChecksum(const TfmIsp& isp) {
    const char* const* lines = isp.Images().McuHexLines;
    std::size_t count = isp.Images().McuHexLineCount;
    if (lines == nullptr) {
        lines = kMcuHexLines;
        count = kMcuHexLineCount;
    }
    QByteArray text;
    for (std::size_t i = 0; i < count; ++i) {
        text += lines[i];
        text += '\n';
    }
    return Sha256(text);
}

QString UnitJson::DspImageChecksum(const TfmIsp& isp) {
    const uint32_t* words = isp.Images().DspWords;
    std::size_t count = isp.Images().DspWordCount;
    if (words == nullptr) {
        words = kDspImageWords;
        count = kDspImageWordCount;
    }
    QByteArray bytes;
    bytes.reserve(static_cast<qsizetype>(count) * 4);
    for (std::size_t i = 0; i < count; ++i)
        for (int b = 0; b < 4; ++b)
            bytes += static_cast<char>((words[i] >> (8 * b)) & 0xFF);
    return Sha256(bytes);
}
