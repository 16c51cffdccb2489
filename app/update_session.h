// One unit's update: the flow's state, its timers, the link to the device (Proc) and the
// device held for it. The window shows what the session does and forwards its handlers here;
// the flows are split over update_session.cpp (device, link, report I/O, end of the run),
// mcu_update.cpp (microcontroller update) and dsp_program.cpp (parameter read, DSP
// programming).
#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "app/run_progress.h"
#include "app/run_watch.h"
#include "app/stale_answer.h"
#include "hid/unit_identity.h"
#include "protocol/lcmd.h"
#include "protocol/lusb.h"

class QTimer;
class ReportLog;
class TfmIsp;
class TJvHidDevice;
class TJvHidDeviceController;
class UpdateSessionTestPeer;

// Where a full run from "Start Program " stands (RunStage).
enum class FullRunStage {
    Idle = 0,           // no full run under way
    FinalCommands = 1,  // DSP programming done: the final commands and " Program OK !! " next
    DspProgram = 2,     // parameter read done: DSP programming next
    McuUpdate = 3,      // the microcontroller update, up to the device's return in run mode
};

// The mode the held device was seen in, as the status bar's device panel shows it.
enum class DeviceMode {
    None,    // no device, or the one held is on its way out (after the update's reset)
    Run,     // product 0x0821
    Update,  // product 0x0904, in-application programming
};

// The device panel's text for a mode.
QString PanelText(DeviceMode mode);
// What the window says of a unit found in update mode that no run of it put there.
QString InterruptedUpdateNotice();

class UpdateSession : public QObject, public LUsbOwner {
    Q_OBJECT

  public:
    // window: shows the session's state and holds the controls (it outlives the session).
    // log: where written and passed reports go.
    UpdateSession(TfmIsp& window, ReportLog& log);
    ~UpdateSession() override;

    // ---- The held device (UI thread) ----
    TJvHidDevice* Device() const { return HidDevice; }
    DeviceMode Mode() const { return mode_; }
    // Takes a device checked out of the controller.
    void HoldDevice(TJvHidDevice* dev);
    // Shows the device held in its mode; offer: nothing keeps it from being updated.
    void DeviceArrived(DeviceMode mode, bool offer);
    // The device left: the run it cut off ends, the link goes, the device goes back.
    void DeviceLeft();
    // Shows a device mode without a device in it ("No Device" while none is held).
    void ShowMode(DeviceMode mode);
    // Whether detection offers "Start Program " for the device held as it stands.
    bool StartOffered() const;
    // The MCU update's packet exchange or DSP programming is under way.
    bool WriteInProgress() const;
    // No link, or one with nothing to write.
    bool LinkIdle() const;
    // A run is under way: from a button's press to its end, through the unit's restarts.
    bool RunUnderWay() const;
    // The unit held last (none before the first).
    const std::optional<UnitIdentity>& LastUnit() const { return unit_; }
    // The unit the run under way is for (none while no run is under way).
    std::optional<UnitIdentity> RunUnit() const;
    // The run's phase and the deadline of its wait for the unit.
    RunWatch& Watch() { return *watch_; }
    // How far the run has come; it changes before the step text that shows it.
    const RunProgress& Progress() const { return progress_; }
    // What the unit said of itself in the last MCU update (zero before one).
    int ReportedFirmwareVersion() const { return FirmwareVersion; }
    std::array<int, 3> ReportedDeviceIds() const { return {DeviceId1, DeviceId2, DeviceId3}; }

    // ---- Handlers forwarded by the window ----
    void FormCreate();
    void bnMcuProgramClick();
    void btnStartProgramClick();
    void bnSecurityClick();
    void bnDspPorgramClick();
    void tmUsbWaitTimer();
    void tmWaitDisconnectTimer();
    void tmDspProgramTimer();
    void tmMcuProgTimer();
    void tmRunStepTimer();
    void HidCtlDeviceData(uint8_t ReportID, const uint8_t* Data, uint16_t Size);
    void SubmitCommand(const LCmd& cmd, bool append, bool framed);
    void TearDownLink();
    void StartMcuLink();
    void SendNextStep();
    void OnAnswer(const BSTM& answer, uint32_t elapsedMs);
    // Refreshes the program-data window with the first count bytes of ProgramBuffer.
    void ShowProgramDump(int count);

    // ---- LUsbOwner (the link's owner) ----
    QObject* UsbOwnerObject() override { return this; }
    void UsbMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
    void WriteReport(const uint8_t* bytes, uint32_t len) override;

  signals:
    // The run moved to another phase (Idle: it has ended or stopped).
    void PhaseChanged(RunPhase phase);

  private:
    friend class UpdateSessionTestPeer;

    // The one way to a link: creates and opens one if none is held; true when one is open.
    bool OpenLink();
    // A link that would not open: the step fails with its dialog, the run ends and
    // "Start Program " comes back.
    void FailLinkOpen(const QString& text);
    // Gives the held device back to the controller, the link first.
    void ReleaseDevice();
    // The run is over: "Start Program " is the way to try again.
    void GiveStartBack();
    // True (and the run ended) when the window's device problem forbids writing to the device.
    bool RefusedForProblem();
    // The unit is there but a wait of the run ran out: the run ends, the link goes.
    void OnWaitExpired(RunPhase phase, int seconds);
    // The display and the buttons for the device held, as detection gave them.
    void OfferHeldDevice();

    // Microcontroller update (mcu_update.cpp).
    void OnMcuAnswer(const LCmd& answer);
    // True for a report that repeats an earlier IAP answer: its 32-bit value is not the last
    // packet's sum but the sum of the packet before it, or the value of the last answer judged
    // (after a failed step the device repeats that answer).
    bool IsStaleRepeat(const uint8_t* report, std::size_t size) const;
    // The processor's time-out notice: a step still waiting for its answer fails.
    void OnMcuTimeout();
    // The step's error dialog; the run ends and "Start Program " is given back.
    void FailMcuStep();
    // Prepares the microcontroller image into ProgramBuffer; false after "Check sum error!".
    bool PrepareMcuImage();

    // Parameter read and DSP programming (dsp_program.cpp).
    // checkByteOk: the answer's check byte matched its bytes.
    void OnParamAnswer(const LCmd& answer, bool checkByteOk);
    // "Parameter Data Error !!": the read and the run end, "Start Program " comes back.
    void FailParameterRead();
    static bool AnswerCheckByteOk(const BSTM& answer);
    void OnDspAnswer(const LCmd& answer);

    // The run's phase and count, set before the step text that shows them.
    void SetRunPhase(RunPhase phase, int done = 0);
    // The window's view of the run.
    void SetStatusRed(bool red);
    void SetSimpleText(const QString& text);
    void SetPanelText(int panel, const QString& text);
    void SetProgress(int position);
    void SetProgressMax(int maximum);
    void ShowInfo(const QString& text);
    void ShowError(const QString& text);

    TfmIsp& w_;
    ReportLog& log_;
    RunWatch* watch_ = nullptr;
    RunProgress progress_;
    // Tells a report the unit was repeating before this run from the run's own answers.
    StaleAnswerFilter staleAnswers_;

    QTimer* tmUsbWait = nullptr;         // 100 ms (set per packet by the MCU update)
    QTimer* tmWaitDisconnect = nullptr;  // 500 ms
    QTimer* tmDspProgram = nullptr;      // 100 ms
    QTimer* tmMcuProg = nullptr;         // 100 ms
    QTimer* tmRunStep = nullptr;         // 100 ms
    // When tmUsbWait's interval, started with the last IAP packet, is over.
    QDeadlineTimer usbWaitDue_{QDeadlineTimer::Forever};

    TJvHidDevice* HidDevice = nullptr;
    // The unit last held: kept while it restarts, so that the run goes on with it alone.
    std::optional<UnitIdentity> unit_;
    // Guards HidDevice against the processor's worker, which writes reports through it.
    std::mutex HidDeviceLock;
    // Output report length of HidDevice, guarded by HidDeviceLock like the pointer.
    uint16_t outputReportLength_ = 0;
    DeviceMode mode_ = DeviceMode::None;
    std::unique_ptr<LUsbProc> Proc;
    // Makes the link's processor (empty: a plain LUsbProc); tests give links that fail.
    std::function<std::unique_ptr<LUsbProc>(LUsbOwner*)> makeLink_;
    bool AcceptInput = false;
    bool McuUpdatePending = false;
    FullRunStage RunStage = FullRunStage::Idle;

    int Step = 0;
    int Sequence = 0;
    int ImageLength = 0;
    int SendPos = 0;
    std::array<uint8_t, 71680> ProgramBuffer{};
    int PacketSum = 0;
    // Sum of the IAP packet sent before the last one (-1 before the second packet): the
    // device's repeats of that packet's answer are not answers to the last one.
    int PreviousPacketSum = -1;
    // An IAP packet is out and its answer not yet judged.
    bool McuAnswerDue = false;
    // The 32-bit value of the last IAP answer judged (-1 before the first).
    int64_t LastMcuAnswerValue = -1;
    // The bytes of the last report passed on as an IAP answer in this link's run: the device
    // repeats them until the next packet's answer, and they say nothing about that packet even
    // where its sum happens to be the same (each fresh answer carries the next packet number).
    std::vector<uint8_t> lastMcuReport_;
    int ProgressPos = 0;
    int FirmwareVersion = 0;
    int DeviceId1 = 0;
    int DeviceId2 = 0;
    int DeviceId3 = 0;
    bool iapPacketSent_ = false;

    std::array<uint8_t, 516> ParamTable{};
    int ParamRequestCount = 0;
    uint32_t DspMask = 0;
    int DspBlock = 0;
    int DspBlockTotal = 0;
    // DSP programming has started and its last block is not yet answered.
    bool DspWriting = false;
    bool paramReadOpen_ = false;  // a parameter read waits for its answers
};
