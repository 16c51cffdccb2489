// The microcontroller update: a step machine over 70-byte IAP packets, one answer per packet,
// paced by tmUsbWait so that each answer is taken no earlier than the device needs.
#include <QPushButton>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "app/isp.h"
#include "app/update_session.h"
#include "firmware/images.h"
#include "firmware/mcu_image.h"

namespace {

constexpr int kPacketSize = 70;
constexpr int kStartImageBytes = 48;  // image bytes carried by the "Start Program" packet
constexpr int kDataImageBytes = 56;   // image bytes carried by each data packet
constexpr std::size_t kAnswerSize = 64;

using Packet = std::array<uint8_t, kPacketSize>;

void Put32(Packet& p, int offset, uint32_t v) {
    p[offset] = static_cast<uint8_t>(v);
    p[offset + 1] = static_cast<uint8_t>(v >> 8);
    p[offset + 2] = static_cast<uint8_t>(v >> 16);
    p[offset + 3] = static_cast<uint8_t>(v >> 24);
}

// Payload byte i of an IAP answer; bytes the device did not send read as 0.
uint8_t PayloadByte(const LCmd& a, std::size_t i) {
    const BSTM& d = a.Data;
    return i < d.size() ? d[i] : 0;
}

uint32_t PayloadLe32(const LCmd& a, std::size_t i) {
    return static_cast<uint32_t>(PayloadByte(a, i)) |
           static_cast<uint32_t>(PayloadByte(a, i + 1)) << 8 |
           static_cast<uint32_t>(PayloadByte(a, i + 2)) << 16 |
           static_cast<uint32_t>(PayloadByte(a, i + 3)) << 24;
}

// An IAP answer is always the 64-byte form: 32-bit sum, then the payload. It is read that way
// even when its last bytes happen to look like a frame trailer.
LCmd IapAnswer(const BSTM& raw) {
    LCmd a;
    a.Value = 0;
    if (raw.size() >= 4) {
        a.Value = static_cast<uint32_t>(raw[0]) | static_cast<uint32_t>(raw[1]) << 8 |
                  static_cast<uint32_t>(raw[2]) << 16 | static_cast<uint32_t>(raw[3]) << 24;
        a.Data.assign(raw.begin() + 4,
                      raw.begin() + std::min<std::size_t>(raw.size(), kAnswerSize));
    }
    return a;
}

// What the unit is left with while this step's packet waits for its answer.
RunPhase McuPhaseOf(int step, bool reset) {
    if (reset) return RunPhase::McuReset;
    switch (step) {
        case 8:
            return RunPhase::McuStart;
        case 9:
            return RunPhase::McuData;
        case 1:
            return RunPhase::Idle;
        default:
            return RunPhase::McuHandshake;
    }
}

// The packet number wraps as the device's 32-bit field does.
int NextSequence(int s) {
    return static_cast<int>(static_cast<uint32_t>(s) + 1u);
}

// A timer that is already running keeps its phase, as an enabled flag set twice would.
void Enable(QTimer* t) {
    if (!t->isActive()) t->start();
}

}  // namespace

bool UpdateSession::PrepareMcuImage() {
    const char* const* lines = w_.Images().McuHexLines;
    std::size_t count = w_.Images().McuHexLineCount;
    if (lines == nullptr) {
        lines = kMcuHexLines;
        count = kMcuHexLineCount;
    }
    const McuImage r = ::PrepareMcuImage(lines, count, ProgramBuffer.data(), kMcuImageSize);
    ImageLength = r.ImageLength;
    if (r.ChecksumError) {
        ShowError(QStringLiteral("Check sum error!"));
        return false;
    }
    return true;
}

void UpdateSession::bnMcuProgramClick() {
    if (RefusedForProblem()) return;
    // The image is prepared before the device is told anything: a damaged image must not
    // take a working device into update mode, nor be written in part.
    SetStatusRed(true);
    const bool prepared = PrepareMcuImage();
    ShowProgramDump(ImageLength);
    if (!prepared) {
        SetStatusRed(false);
        w_.bnMcuProgram->setEnabled(true);
        // The start button as detection left it (it disables itself before coming here).
        if (StartOffered()) w_.btnStartProgram->setEnabled(true);
        return;
    }

    if (mode_ == DeviceMode::Run) {
        // A disconnect still pending from an earlier reset must not end this link.
        tmWaitDisconnect->stop();
        if (Proc == nullptr) {
            if (!OpenLink()) {
                FailLinkOpen(QStringLiteral("ISP Start Error !!"));
                return;
            }
            AcceptInput = true;
            Proc->SetWaitTime(5000);
        }
        Proc->SetPollSuppressed(true);
        SubmitCommand(CM_MCS_CMD(1, 0x10), true, true);
        SubmitCommand(CM_MCS_IAP_RESET(0x08), true, true);
    }

    progress_.start = RunStart::FullRun;
    SetRunPhase(RunPhase::ModeSwitch);
    SetProgressMax(ImageLength / kDataImageBytes + 1);
    w_.bnMcuProgram->setEnabled(false);
    McuUpdatePending = true;
    Enable(tmMcuProg);
    watch_->Enter(RunPhase::ModeSwitch);
}

void UpdateSession::tmMcuProgTimer() {
    if (mode_ != DeviceMode::Update) return;
    tmMcuProg->stop();
    // The device that came in update mode may not be one these images may be written to.
    if (RefusedForProblem()) return;
    RunStage = FullRunStage::McuUpdate;
    Step = 2;
    // The update that finishes an interrupted one is under way.
    w_.SetDeviceNotice({});
    // Red before the link starts: a link that fails to open puts it back.
    SetStatusRed(true);
    watch_->Enter(RunPhase::McuHandshake);
    StartMcuLink();
}

void UpdateSession::StartMcuLink() {
    if (HidDevice == nullptr) return;
    tmWaitDisconnect->stop();
    if (Proc != nullptr) {
        // A processor left over from run mode belongs to a device that is gone; the update
        // starts from its first step on a link of its own.
        TearDownLink();
        Step = 2;
        SetStatusRed(true);
    }
    if (!OpenLink()) {
        FailLinkOpen(QStringLiteral("ISP Start Error !!"));
        return;
    }
    Proc->SetPollSuppressed(true);
    staleAnswers_.BeginRun();
    SendNextStep();
}

void UpdateSession::SendNextStep() {
    Packet p{};
    const auto seqByte = [this] { return static_cast<uint8_t>(Sequence); };
    bool reset = false;
    // The phase changes before the step's text, so that both say the same.
    SetRunPhase(McuPhaseOf(Step, Step == 10));

    switch (Step) {
        case 2:
            SetSimpleText(QStringLiteral("Connect"));
            Sequence = 1;
            p[0] = 0x80;
            p[4] = seqByte();
            break;
        case 3:
            SetSimpleText(QStringLiteral("Sync Package"));
            p[0] = 0x81;
            p[4] = seqByte();
            p[8] = seqByte();
            break;
        case 4:
            SetSimpleText(QStringLiteral("Get Firmware Version"));
            p[0] = 0x82;
            p[4] = seqByte();
            break;
        case 5:
            SetSimpleText(QStringLiteral("Get Device ID"));
            p[0] = 0x83;
            p[4] = seqByte();
            break;
        case 6:
            SetSimpleText(QStringLiteral("Read Config"));
            p[0] = 0x84;
            p[4] = seqByte();
            break;
        case 7:
            SetSimpleText(QStringLiteral("Sync Program"));
            Sequence = 1;
            p[0] = 0x81;
            p[4] = 1;
            p[8] = 1;
            break;
        case 38:
            SetSimpleText(QStringLiteral("Erase All"));
            p[0] = 0x88;
            p[4] = seqByte();
            break;
        case 8:
            SetSimpleText(QStringLiteral("Start Program"));
            p[0] = 0x85;
            Sequence = NextSequence(Sequence);
            Put32(p, 4, static_cast<uint32_t>(Sequence));
            Put32(p, 12, static_cast<uint32_t>(ImageLength));
            SendPos = 0;
            std::memcpy(&p[16], &ProgramBuffer[0], kStartImageBytes);
            SendPos += kStartImageBytes;
            break;
        case 9: {
            ProgressPos = static_cast<int>((static_cast<int64_t>(Sequence) - 3) / 2);
            SetRunPhase(RunPhase::McuData, ProgressPos);
            SetSimpleText(QStringLiteral("Mcu Programing ") + QString::number(ProgressPos));
            SetProgress(ProgressPos);
            p[0] = 0x00;
            Sequence = NextSequence(Sequence);
            Put32(p, 4, static_cast<uint32_t>(Sequence));
            int take = kDataImageBytes;
            if (SendPos >= ImageLength - kDataImageBytes) take = ImageLength - SendPos;
            // SendPos and ImageLength stay within the prepared region; the bound keeps a
            // packet inside ProgramBuffer whatever they hold.
            const int room = static_cast<int>(ProgramBuffer.size()) - SendPos;
            take = std::min({take, room, kDataImageBytes});
            if (take > 0 && SendPos >= 0) {
                std::memcpy(&p[8], &ProgramBuffer[static_cast<std::size_t>(SendPos)],
                            static_cast<std::size_t>(take));
                SendPos += take;
            }
            break;
        }
        case 10:
            SetSimpleText(QStringLiteral("MCU Reset"));
            p[0] = 0x86;
            Sequence = NextSequence(Sequence);
            Put32(p, 4, static_cast<uint32_t>(Sequence));
            reset = true;
            // The whole image is out: from here on the run no longer waits for the update.
            McuUpdatePending = false;
            Step = 1;
            SetProgress(0);
            ShowMode(DeviceMode::None);
            Enable(tmWaitDisconnect);
            break;
        default:
            Step = 1;
            break;
    }

    SubmitCommand(CM_MCS_PROGRAM_DATA(p.data(), kPacketSize), true, false);
    int sum = 0;
    for (uint8_t b : p)
        sum += b;
    PreviousPacketSum = iapPacketSent_ ? PacketSum : -1;
    PacketSum = sum;
    iapPacketSent_ = true;
    // Every step but the reset waits for its answer; the reset is answered by leaving.
    McuAnswerDue = !reset && Step > 1;
    watch_->Enter(McuPhaseOf(Step, reset));

    if (Proc == nullptr) return;
    if (reset) {
        Enable(tmWaitDisconnect);
        return;
    }
    int interval = 200;
    if (Step == 8) {
        interval = 1000;
    } else if (SendPos + kDataImageBytes < ImageLength) {
        interval = 20;
    }
    // Setting the interval restarts a running timer: the wait is always from this packet.
    tmUsbWait->setInterval(interval);
    usbWaitDue_.setRemainingTime(interval, Qt::PreciseTimer);
    Enable(tmUsbWait);
}

void UpdateSession::OnAnswer(const BSTM& answer, uint32_t /*elapsedMs*/) {
    watch_->Answered();
    if (Step > 1) {
        OnMcuAnswer(IapAnswer(answer));
        return;
    }
    if (Step != 1 || !IsFramed(answer)) return;
    const LCmd a(answer);
    if (a.GetCmd() == 0xA8) {
        // The parse takes the bytes as they came; the mask is built from these, so their
        // check byte is verified here.
        OnParamAnswer(a, AnswerCheckByteOk(answer));
    } else if (a.GetCmd() == 0x53) {
        OnDspAnswer(a);
    }
}

namespace {

struct StepFailure {
    const char* text;
    bool tearDown;  // the link goes before the dialog
};

// What a failed step shows, and whether it ends the link.
StepFailure FailureOf(int step) {
    switch (step) {
        case 2:
            return {"ISP Start Error !!", true};
        case 3:
            return {"ISP Sync Error !!", true};
        case 5:
            return {"Get ID Error !!", true};
        case 8:
            return {"Program Start Error !!", false};
        case 9:
            return {"Program Data Error !!", false};
        default:  // 4, 6, 7 and 38
            return {"Erase All Error !!", false};
    }
}

}  // namespace

bool UpdateSession::IsStaleRepeat(const uint8_t* report, std::size_t size) const {
    const bool judged = (Step >= 2 && Step <= 9) || Step == 38;
    if (!judged || !McuAnswerDue || size < 4) return false;
    const uint32_t value =
        static_cast<uint32_t>(report[0]) | static_cast<uint32_t>(report[1]) << 8 |
        static_cast<uint32_t>(report[2]) << 16 | static_cast<uint32_t>(report[3]) << 24;
    if (!lastMcuReport_.empty() && size >= lastMcuReport_.size() &&
        std::equal(lastMcuReport_.begin(), lastMcuReport_.end(), report))
        return true;
    if (value == static_cast<uint32_t>(PacketSum)) return false;
    if (staleAnswers_.IsStale(report, size, static_cast<uint32_t>(PacketSum))) return true;
    // After a failed or unanswered step the device goes on repeating the last answer it gave,
    // whose value need not be the sum of the packet before.
    return (PreviousPacketSum >= 0 && value == static_cast<uint32_t>(PreviousPacketSum)) ||
           (LastMcuAnswerValue >= 0 && value == static_cast<uint32_t>(LastMcuAnswerValue));
}

void UpdateSession::FailMcuStep() {
    const StepFailure f = FailureOf(Step);
    McuAnswerDue = false;
    AcceptInput = false;
    if (f.tearDown) TearDownLink();
    // Whether or not the link stays, the run is over: "Start Program " tries again from
    // wherever the device is, and opens a link of its own.
    SetStatusRed(false);
    GiveStartBack();
    ShowError(QString::fromLatin1(f.text));
}

void UpdateSession::OnMcuTimeout() {
    // The answer to the packet last sent never came (or only its predecessor's repeats did).
    const bool judged = (Step >= 2 && Step <= 9) || Step == 38;
    if (judged && McuAnswerDue) FailMcuStep();
}

void UpdateSession::OnMcuAnswer(const LCmd& answer) {
    const bool judged = (Step >= 2 && Step <= 9) || Step == 38;
    // An answer only counts for the packet last sent (after a failure nothing is awaited).
    if (!judged || !McuAnswerDue) return;
    McuAnswerDue = false;
    LastMcuAnswerValue = answer.Value;
    if (answer.Value != static_cast<uint32_t>(PacketSum)) {
        FailMcuStep();
        return;
    }

    switch (Step) {
        case 2:
            Step = 3;
            Sequence = PayloadByte(answer, 0);
            break;
        case 3:
            Step = 4;
            Sequence = PayloadByte(answer, 0);
            break;
        case 4:
            Step = 5;
            Sequence = PayloadByte(answer, 0);
            FirmwareVersion = PayloadByte(answer, 4);
            break;
        case 5:
            Step = 6;
            Sequence = PayloadByte(answer, 0);
            DeviceId1 = static_cast<int>(PayloadLe32(answer, 4));
            SetSimpleText(QString::asprintf(
                "Device ID : %08X, %08X, %08X", static_cast<unsigned>(DeviceId1),
                static_cast<unsigned>(DeviceId2), static_cast<unsigned>(DeviceId3)));
            break;
        case 6:
            Step = 7;
            Sequence = PayloadByte(answer, 0);
            DeviceId2 = static_cast<int>(PayloadLe32(answer, 4));
            DeviceId3 = static_cast<int>(PayloadLe32(answer, 8));
            break;
        case 7:
        case 38:
            Step = 8;
            Sequence = PayloadByte(answer, 0);
            break;
        case 8:
            Step = 9;
            Sequence = PayloadByte(answer, 0);
            break;
        case 9:
            Step = SendPos < ImageLength ? 9 : 10;
            Sequence = static_cast<int>(PayloadLe32(answer, 0));
            break;
        default:
            return;
    }
    SendNextStep();
}
