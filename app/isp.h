// The main window: device detection, the link to the device, and the update flows.
// Handlers keep the names of the controls and events they serve; the flows are split over
// isp.cpp (window, detection, link), mcu_update.cpp (microcontroller update) and
// dsp_program.cpp (parameter read, DSP programming, end of the run).
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/run_watch.h"
#include "app/stale_answer.h"
#include "protocol/lcmd.h"
#include "protocol/lusb.h"

class QAction;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class TJvHidDevice;
class TJvHidDeviceController;
class TStatusBar;
class DialogSeam;
class AccessWait;

// The images the update writes. The window takes the embedded ones; tests hand in small ones.
struct UpdateImages {
    const char* const* McuHexLines = nullptr;
    std::size_t McuHexLineCount = 0;
    const uint32_t* DspWords = nullptr;
    std::size_t DspWordCount = 0;
};

class TfmIsp : public QMainWindow, public LUsbOwner {
    Q_OBJECT

  public:
    // dialogs: where modal dialogs go (not owned); null shows real message boxes.
    explicit TfmIsp(DialogSeam* dialogs = nullptr, QWidget* parent = nullptr);
    ~TfmIsp() override;

    void SetImages(const UpdateImages& images);
    // The diagnostic windows, created after the main window and owned by the application
    // (they may go before the main window does).
    void SetDiagnosticWindows(TfmHidData* hidData, TfmProgData* progData);

    // Read access for the sim runner and tests.
    QString StatusPanelText(int panel) const;
    QString StatusSimpleText() const;
    bool StatusIsRed() const;
    int ProgressPosition() const;
    int ProgressMaximum() const;
    // Why no device can be seen at all: the HID backend module could not be loaded. Empty
    // when it is loaded.
    QString BackendProblem() const { return backendProblem_; }
    TJvHidDeviceController* Controller() const { return HidCtl; }
    TfmHidData* HidDataWindow() const { return fmHidData_; }
    // Empty while nothing keeps the device from being updated; otherwise the sentence the
    // window shows instead of its heading: the device node cannot be opened for reading and
    // writing (and the udev rule to install), another program is updating the device, or this
    // build carries only placeholder images and the device is not the simulated one. While it
    // is not empty "Start Program " stays disabled and no flow writes to the device.
    // StatusChanged() is emitted whenever it changes.
    QString DeviceProblem() const { return deviceProblem_; }
    TfmProgData* ProgDataWindow() const { return fmProgData_; }

    // Whether closing the window while the device is being written asks first (default: yes).
    // An unattended run, which nobody could answer, turns it off.
    void SetAskBeforeClosing(bool ask) { askBeforeClosing_ = ask; }
    // The MCU update's packet exchange or DSP programming is under way: stopping now leaves
    // the device half written.
    bool WriteInProgress() const;

    // Receives every HID log line (written and passed reports), whether or not the log window
    // is shown; called on the thread that wrote or passed the report, one call at a time. A
    // written report is traced just before it goes out, so that a quick answer never comes
    // ahead of it in the trace.
    void SetReportTrace(std::function<void(const QString& line)> trace);
    // One HID log line: direction ('W' or 'R'), report ID, then the bytes, in upper-case hex.
    static QString FormatReportLine(char direction, uint8_t reportId, const uint8_t* bytes,
                                    std::size_t count);

  signals:
    // Emitted whenever the status bar's simple text, a panel text, the progress or the device
    // problem changes.
    void StatusChanged();

  public:
    // ---- LUsbOwner (the protocol processor's owner window) ----
    QObject* UsbOwnerObject() override { return this; }
    void UsbMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
    void WriteReport(const uint8_t* bytes, uint32_t len) override;

    // ---- Controls (object names as the member names) ----
    QLabel* lbHidShow = nullptr;
    QLabel* lbProblem = nullptr;  // DeviceProblem(), shown in the heading's place
    QPushButton* bnSecurity = nullptr;
    QPushButton* bnDspPorgram = nullptr;
    QPushButton* bnMcuProgram = nullptr;
    QPushButton* btnStartProgram = nullptr;
    QProgressBar* pbProgress = nullptr;
    TStatusBar* sbStatus = nullptr;
    QAction* Memory1 = nullptr;
    QAction* HidData1 = nullptr;
    QTimer* tmUsbWait = nullptr;         // 100 ms (set per packet by the MCU update)
    QTimer* tmWaitDisconnect = nullptr;  // 500 ms
    QTimer* tmDspProgram = nullptr;      // 100 ms
    QTimer* tmMcuProg = nullptr;         // 100 ms
    QTimer* tmRunStep = nullptr;         // 100 ms
    TJvHidDeviceController* HidCtl = nullptr;
    // The run's phase and the deadline of its wait for the unit.
    RunWatch* Watch = nullptr;

    // ---- Handlers: window, detection and link (isp.cpp) ----
    void FormCreate();
    void FormClose();
    void NoDeviceDisplay();
    void HidCtlDeviceChange();
    bool HidCtlEnumerate(TJvHidDevice* HidDev, int Idx);
    void HidCtlDeviceUnplug(TJvHidDevice* HidDev);
    void HidCtlDeviceData(TJvHidDevice* HidDev, uint8_t ReportID, const uint8_t* Data,
                          uint16_t Size);
    void HidCtlDeviceDataError(TJvHidDevice* HidDev, uint32_t Error);
    void SubmitCommand(const LCmd& cmd, bool append, bool framed);
    void TearDownLink();
    void tmUsbWaitTimer();
    void tmWaitDisconnectTimer();
    void btnStartProgramClick();
    void Memory1Click();
    void HidData1Click();
    // Creates and opens a processor if none is held; true when one is open afterwards.
    bool OpenLink();
    void SetStatusRed(bool red);
    void SetSimpleText(const QString& text);
    void SetPanelText(int panel, const QString& text);
    void SetProgress(int position);
    void SetProgressMax(int maximum);
    void ShowInfo(const QString& text);   // information dialog
    void ShowError(const QString& text);  // error dialog, one OK button
    bool Confirm(const QString& text);    // question, "No" the default; true for "Yes"
    // Any thread: lines from the processor's worker wait in a queue until the UI thread takes
    // them, in the order they were logged.
    void LogReport(char direction, uint8_t reportId, const uint8_t* bytes, std::size_t count);
    void TraceReport(const QString& line);
    void ShowReportLine(const QString& line);
    // Refreshes the program-data window with the first count bytes of ProgramBuffer.
    void ShowProgramDump(int count);
    // The unit is there but a wait of the run ran out: the run ends, the link goes.
    void OnWaitExpired(RunPhase phase, int seconds);
    // The display and the buttons for the device held, as detection gave them.
    void OfferHeldDevice();

    // ---- Handlers: microcontroller update (mcu_update.cpp) ----
    void bnMcuProgramClick();
    void tmMcuProgTimer();
    void StartMcuLink();
    void SendNextStep();
    void OnAnswer(const BSTM& answer, uint32_t elapsedMs);
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

    // ---- Handlers: parameter read, DSP programming, end of the run (dsp_program.cpp) ----
    void bnSecurityClick();
    void bnDspPorgramClick();
    void tmDspProgramTimer();
    void tmRunStepTimer();
    // checkByteOk: the answer's check byte matched its bytes.
    void OnParamAnswer(const LCmd& answer, bool checkByteOk);
    // "Parameter Data Error !!": the read and the run end, "Start Program " comes back.
    void FailParameterRead();
    static bool AnswerCheckByteOk(const BSTM& answer);
    void OnDspAnswer(const LCmd& answer);

    // ---- State (all zero at creation) ----
    TJvHidDevice* HidDevice = nullptr;
    // Guards HidDevice against the processor's worker, which writes reports through it.
    std::mutex HidDeviceLock;
    LUsbProc* Proc = nullptr;
    bool AcceptInput = false;
    bool McuUpdatePending = false;
    int RunStage = 0;

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
    int ProgressPos = 0;
    int FirmwareVersion = 0;
    int DeviceId1 = 0;
    int DeviceId2 = 0;
    int DeviceId3 = 0;

    std::array<uint8_t, 516> ParamTable{};
    int ParamRequestCount = 0;
    uint32_t DspMask = 0;
    int DspBlock = 0;
    int DspBlockTotal = 0;
    // DSP programming has started and its last block is not yet answered.
    bool DspWriting = false;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void BuildControls();
    // Records and shows a backend module that could not be loaded.
    void CheckBackend();
    // Works out DeviceProblem() from the held device, the images and the last change pass.
    void UpdateDeviceProblem();
    bool PlaceholdersInUse() const;
    // True (and the run ended) when DeviceProblem() forbids writing to the device.
    bool RefusedForProblem();
    void WireHandlers();
    // UI thread: moves the queued log lines to the log window.
    Q_INVOKABLE void DrainReportLog();

    DialogSeam* dialogs_ = nullptr;
    QString backendProblem_;
    bool AskToClose();

    QString deviceProblem_;
    AccessWait* accessWait_ = nullptr;
    // What the unit was repeating before the MCU update's first packet.
    StaleAnswerFilter staleAnswers_;
    // Noted by the enumerate handler for a device it could not take (empty: none).
    QString accessProblem_;
    bool heldIsSimulated_ = false;
    bool askBeforeClosing_ = true;
    bool closeQuestionOpen_ = false;
    bool iapPacketSent_ = false;
    bool paramReadOpen_ = false;  // a parameter read waits for its answers
    // Output report length of HidDevice, guarded by HidDeviceLock like the pointer.
    uint16_t outputReportLength_ = 0;
    // Held while the trace runs, so that it may be set at any time and its calls never overlap.
    std::mutex traceLock_;
    std::function<void(const QString& line)> reportTrace_;
    // Log lines from other threads. Only a wake-up without data goes through Qt's event queue;
    // the lines pass under this lock, a hand-off the thread checker can see.
    std::mutex logLock_;
    std::vector<QString> pendingLog_;
    bool drainPosted_ = false;
    UpdateImages images_;
    QPointer<TfmHidData> fmHidData_;
    QPointer<TfmProgData> fmProgData_;
};
