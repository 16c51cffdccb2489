// The session's device, link and report I/O, and the window's view of the run.
#include "app/update_session.h"

#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <vector>

#include "app/diag/report_log.h"
#include "app/isp.h"
#include "app/run_phase.h"
#include "hid/hid.h"
#include "hid/jvhidcontrollerclass.h"

namespace {

constexpr uint32_t kWmUsbAnswer = 0x0550;
constexpr uint16_t kProductUpdate = 0x0904;

}  // namespace

QString InterruptedUpdateNotice() {
    return QStringLiteral(
        "This unit's last update did not finish, so it is still in update mode. "
        "\"Start Program \" finishes it.");
}

QString PanelText(DeviceMode mode) {
    switch (mode) {
        case DeviceMode::Run:
            return QStringLiteral("Detect Run HID");
        case DeviceMode::Update:
            return QStringLiteral("Detect Update HID");
        case DeviceMode::None:
            break;
    }
    return QStringLiteral("No Device");
}

UpdateSession::UpdateSession(TfmIsp& window, ReportLog& log)
    : w_(window), log_(log), watch_(new RunWatch(this)) {
    auto makeTimer = [&](QTimer*& timer, const char* name, int interval) {
        timer = new QTimer(this);
        timer->setObjectName(QString::fromLatin1(name));
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(interval);
    };
    makeTimer(tmUsbWait, "tmUsbWait", 100);
    makeTimer(tmWaitDisconnect, "tmWaitDisconnect", 500);
    makeTimer(tmDspProgram, "tmDspProgram", 100);
    makeTimer(tmMcuProg, "tmMcuProg", 100);
    makeTimer(tmRunStep, "tmRunStep", 100);

    connect(tmUsbWait, &QTimer::timeout, this, [this] { tmUsbWaitTimer(); });
    connect(tmWaitDisconnect, &QTimer::timeout, this, [this] { tmWaitDisconnectTimer(); });
    connect(tmDspProgram, &QTimer::timeout, this, [this] { tmDspProgramTimer(); });
    connect(tmMcuProg, &QTimer::timeout, this, [this] { tmMcuProgTimer(); });
    connect(tmRunStep, &QTimer::timeout, this, [this] { tmRunStepTimer(); });
    connect(watch_, &RunWatch::Expired, this,
            [this](RunPhase phase, int seconds) { OnWaitExpired(phase, seconds); });
}

UpdateSession::~UpdateSession() {
    // Everything that can call back goes while the window is still whole: the processor's
    // worker first, then the device's reader.
    for (QTimer* t : {tmUsbWait, tmWaitDisconnect, tmDspProgram, tmMcuProg, tmRunStep})
        t->stop();
    ReleaseDevice();
}

// ---- Device ----

void UpdateSession::HoldDevice(TJvHidDevice* dev) {
    unit_ = IdentityOf(*dev);
    std::lock_guard<std::mutex> guard(HidDeviceLock);
    HidDevice = dev;
    outputReportLength_ = dev->Caps().OutputReportByteLength;
}

void UpdateSession::DeviceArrived(DeviceMode mode, bool offer) {
    ShowMode(mode);
    // In update mode without this window having asked for it (no mode switch awaited): an
    // earlier update was cut off, by this run or before this program started.
    w_.SetDeviceNotice(mode == DeviceMode::Update && !McuUpdatePending ? InterruptedUpdateNotice()
                                                                       : QString());
    if (mode == DeviceMode::Update) {
        w_.bnSecurity->setEnabled(true);
        w_.bnDspPorgram->setEnabled(false);
        if (!McuUpdatePending && offer) w_.btnStartProgram->setEnabled(true);
    } else {
        w_.bnSecurity->setEnabled(true);
        w_.bnDspPorgram->setEnabled(true);
        w_.bnMcuProgram->setEnabled(true);
        if (RunStage == FullRunStage::Idle && offer) w_.btnStartProgram->setEnabled(true);
        if (RunStage == FullRunStage::McuUpdate) bnSecurityClick();
    }
}

void UpdateSession::DeviceLeft() {
    // Said at once (empty when the run itself restarted the unit), and before the progress
    // goes back to 0, in place of a step whose count would no longer agree with it.
    const QString left = watch_->Left();
    if (!left.isEmpty()) {
        SetRunPhase(RunPhase::Idle);
        SetSimpleText(left);
    }
    // Leaving in the middle of the update's exchange (not at its reset into update mode, where
    // Step is still 1) cuts the update off: the run ends, and a device seen again in update
    // mode offers "Start Program " to update it from there.
    if (Step > 1) {
        McuUpdatePending = false;
        RunStage = FullRunStage::Idle;
        SetRunPhase(RunPhase::Idle);
        tmUsbWait->stop();  // paced a packet of the link that goes now
    }
    // A full run cut off in its parameter read or its DSP programming is over too: whatever
    // device comes back starts again from "Start Program ". (At the update's own reset the
    // device leaves with the run at stage 3 and no read open; that run goes on.)
    if (RunStage == FullRunStage::FinalCommands || RunStage == FullRunStage::DspProgram ||
        (RunStage == FullRunStage::McuUpdate && paramReadOpen_)) {
        RunStage = FullRunStage::Idle;
        McuUpdatePending = false;
        SetRunPhase(RunPhase::Idle);
        tmRunStep->stop();
        tmDspProgram->stop();
    }
    paramReadOpen_ = false;
    ReleaseDevice();
    w_.SetDeviceNotice({});
    ShowMode(DeviceMode::None);
    w_.bnDspPorgram->setEnabled(false);
    w_.bnMcuProgram->setEnabled(true);
    w_.btnStartProgram->setEnabled(false);
}

void UpdateSession::ReleaseDevice() {
    // The processor's worker writes through the device: stop it before the device goes.
    TearDownLink();
    TJvHidDevice* dev = nullptr;
    {
        std::lock_guard<std::mutex> guard(HidDeviceLock);
        dev = HidDevice;
        HidDevice = nullptr;
        outputReportLength_ = 0;
    }
    if (dev != nullptr && w_.HidCtl != nullptr) w_.HidCtl->CheckIn(dev);
}

void UpdateSession::ShowMode(DeviceMode mode) {
    mode_ = mode;
    SetPanelText(1, PanelText(mode));
}

bool UpdateSession::StartOffered() const {
    return (mode_ == DeviceMode::Run && RunStage == FullRunStage::Idle) ||
           (mode_ == DeviceMode::Update && !McuUpdatePending);
}

bool UpdateSession::WriteInProgress() const {
    return (Step > 1 && Proc != nullptr) || DspWriting;
}

bool UpdateSession::RunUnderWay() const {
    return RunStage != FullRunStage::Idle || McuUpdatePending || paramReadOpen_ || DspWriting ||
           progress_.phase != RunPhase::Idle;
}

std::optional<UnitIdentity> UpdateSession::RunUnit() const {
    if (!RunUnderWay()) return std::nullopt;
    return unit_;
}

bool UpdateSession::LinkIdle() const {
    return Proc == nullptr || (!Proc->IsBusy() && Proc->QueuedFrames() == 0);
}

bool UpdateSession::RefusedForProblem() {
    if (w_.DeviceProblem().isEmpty()) return false;
    // Nothing is written while something is in the way; a run that was under way ends.
    tmMcuProg->stop();
    McuUpdatePending = false;
    RunStage = FullRunStage::Idle;
    watch_->End();
    SetRunPhase(RunPhase::Idle);
    SetStatusRed(false);
    return true;
}

void UpdateSession::OnWaitExpired(RunPhase phase, int seconds) {
    // A unit that is there and silent ends the run as a failed step does; its link goes, and
    // what the window offers is what the unit held now allows.
    for (QTimer* t : {tmUsbWait, tmWaitDisconnect, tmDspProgram, tmMcuProg, tmRunStep})
        t->stop();
    McuAnswerDue = false;
    paramReadOpen_ = false;
    McuUpdatePending = false;
    RunStage = FullRunStage::Idle;
    SetRunPhase(RunPhase::Idle);
    SetSimpleText(runphase::StoppedText(phase));
    TearDownLink();
    OfferHeldDevice();
    ShowError(runphase::SilenceText(phase, seconds));
}

void UpdateSession::OfferHeldDevice() {
    if (HidDevice == nullptr) {
        ShowMode(DeviceMode::None);
        w_.NoDeviceDisplay();
        return;
    }
    DeviceArrived(
        HidDevice->Attributes.ProductID == kProductUpdate ? DeviceMode::Update : DeviceMode::Run,
        w_.DeviceProblem().isEmpty());
}

void UpdateSession::GiveStartBack() {
    McuUpdatePending = false;
    RunStage = FullRunStage::Idle;
    watch_->End();
    SetRunPhase(RunPhase::Idle);
    if (HidDevice != nullptr) w_.btnStartProgram->setEnabled(true);
}

// ---- Window ----

void UpdateSession::FormCreate() {
    McuUpdatePending = false;
    RunStage = FullRunStage::Idle;
}

void UpdateSession::btnStartProgramClick() {
    w_.btnStartProgram->setEnabled(false);
    bnMcuProgramClick();
}

void UpdateSession::UsbMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (msg == WM_USB_EVENT) {
        // Of the link's events only a time-out matters, and only to the MCU update, whose
        // step would otherwise wait for an answer that is not coming.
        if (wParam == USB_EVT_TIMEOUT) OnMcuTimeout();
        return;
    }
    if (msg != kWmUsbAnswer || wParam == 0) return;
    const BSTM& answer = *reinterpret_cast<const BSTM*>(wParam);
    OnAnswer(answer, static_cast<uint32_t>(lParam));
}

// ---- Link ----

void UpdateSession::HidCtlDeviceData(uint8_t ReportID, const uint8_t* Data, uint16_t Size) {
    // The pacing timer's tick comes up to a millisecond or two after its interval (the event
    // loop wakes in whole milliseconds, then has to be scheduled). A report that arrives once
    // the interval is over is taken as the tick would let it be: at 20 ms a packet, that wait
    // alone made the update several per cent slower than its pacing.
    if (Data == nullptr) return;
    staleAnswers_.Observe(Data, Size);
    if (!AcceptInput && tmUsbWait->isActive() && usbWaitDue_.hasExpired()) tmUsbWaitTimer();
    if (!AcceptInput) return;
    // In update mode the device repeats its latest answer every millisecond, so reports
    // queued while this thread was late may still hold the answer to the packet before the
    // last. Such a repeat says nothing about the last packet: it is dropped, and the next
    // report is judged. It never reaches the link either, so an answer that never comes
    // still ends in the link's time-out.
    if (IsStaleRepeat(Data, Size)) return;
    if (McuAnswerDue) lastMcuReport_.assign(Data, Data + std::min<std::size_t>(Size, 64));
    if (Step > 1) AcceptInput = false;
    std::size_t count = 64;
    if (Size >= 5 && Data[0] == 0x10 && Data[1] == 0x02 && Data[2] == 0x01 && Data[3] == 0x00) {
        count = static_cast<std::size_t>(Data[4]) + 8;
    }
    // A count the report cannot hold is cut to what arrived.
    count = std::min<std::size_t>(count, Size);
    if (Proc != nullptr && count > 0) Proc->Receive(Data, static_cast<uint32_t>(count));
    log_.LogReport('R', ReportID, Data, count);
}

void UpdateSession::WriteReport(const uint8_t* bytes, uint32_t len) {
    std::vector<uint8_t> report;
    std::size_t written = 0;
    QString line;
    {
        std::lock_guard<std::mutex> guard(HidDeviceLock);
        if (HidDevice == nullptr || outputReportLength_ < 1) return;
        // One report, report ID first; a longer frame is cut to what the report holds.
        report.assign(outputReportLength_, 0);
        written = std::min<std::size_t>(bytes != nullptr ? len : 0, report.size() - 1);
        if (written > 0) std::copy_n(bytes, written, report.begin() + 1);
        line = ReportLog::FormatReportLine('W', 0, report.data() + 1, written);
        log_.TraceReport(line);
        uint32_t done = 0;
        HidDevice->WriteFile(report.data(), static_cast<uint32_t>(report.size()), done);
    }
    log_.ShowReportLine(line);
}

void UpdateSession::SubmitCommand(const LCmd& cmd, bool append, bool framed) {
    if (Proc == nullptr) return;
    BSTM bytes = cmd.GetBytes(framed ? 1 : 0);
    // The processor refuses frames shorter than two bytes by throwing; none is ever meant.
    if (bytes.size() < 2) return;
    Proc->PostFrame(bytes, append);
}

bool UpdateSession::OpenLink() {
    if (Proc != nullptr) return true;
    auto proc = makeLink_ ? makeLink_(this) : std::make_unique<LUsbProc>(this);
    if (!proc->Open()) return false;
    Proc = std::move(proc);
    return true;
}

void UpdateSession::FailLinkOpen(const QString& text) {
    TearDownLink();
    tmMcuProg->stop();
    tmRunStep->stop();
    tmDspProgram->stop();
    paramReadOpen_ = false;
    GiveStartBack();
    ShowError(text);
}

void UpdateSession::TearDownLink() {
    if (Proc != nullptr) {
        // Cleared first: answers delivered while the worker stops find no processor.
        std::unique_ptr<LUsbProc> proc = std::move(Proc);
        proc->Close();
        proc.reset();
        AcceptInput = false;
        lastMcuReport_.clear();
    }
    Step = 1;
    DspWriting = false;
    SetStatusRed(false);
    SetPanelText(0, QStringLiteral("Disconnect"));
    SetProgress(0);
}

void UpdateSession::tmUsbWaitTimer() {
    tmUsbWait->stop();
    usbWaitDue_ = QDeadlineTimer(QDeadlineTimer::Forever);
    AcceptInput = true;
}

void UpdateSession::tmWaitDisconnectTimer() {
    tmWaitDisconnect->stop();
    TearDownLink();
}

// ---- The window's view ----

void UpdateSession::SetRunPhase(RunPhase phase, int done) {
    progress_.done = done;
    if (progress_.phase == phase) return;
    progress_.phase = phase;
    emit PhaseChanged(phase);
}

void UpdateSession::SetStatusRed(bool red) {
    w_.SetStatusRed(red);
}
void UpdateSession::SetSimpleText(const QString& text) {
    w_.SetSimpleText(text);
}
void UpdateSession::SetPanelText(int panel, const QString& text) {
    w_.SetPanelText(panel, text);
}
void UpdateSession::SetProgress(int position) {
    w_.SetProgress(position);
}
void UpdateSession::SetProgressMax(int maximum) {
    progress_.total = maximum;
    w_.SetProgressMax(maximum);
}
void UpdateSession::ShowInfo(const QString& text) {
    w_.ShowInfo(text);
}
void UpdateSession::ShowError(const QString& text) {
    w_.ShowError(text);
}
void UpdateSession::ShowProgramDump(int count) {
    const auto n = static_cast<std::size_t>(std::clamp<int>(count, 0, ProgramBuffer.size()));
    w_.ShowDump(ProgramBuffer.data(), n);
}
