// The main window: the controls, device detection, and the view of the unit's update session.
// Handlers keep the names of the controls and events they serve; those of the update flows
// forward to the session (update_session.h), which holds the flow's state, timers and link.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/unit_selection.h"
#include "app/update_session.h"
#include "protocol/lcmd.h"

class QAction;
class QLabel;
class QProgressBar;
class QPushButton;
class AccessWait;
class ReportLog;
class TJvHidDevice;
class TJvHidDeviceController;
class TStatusBar;
class DialogSeam;
class UnitChooser;

// The images the update writes. The window takes the embedded ones; tests hand in small ones.
struct UpdateImages {
    const char* const* McuHexLines = nullptr;
    std::size_t McuHexLineCount = 0;
    const uint32_t* DspWords = nullptr;
    std::size_t DspWordCount = 0;
};

class TfmIsp : public QMainWindow {
    Q_OBJECT

  public:
    // dialogs: where modal dialogs go (not owned); null shows real message boxes.
    explicit TfmIsp(DialogSeam* dialogs = nullptr, QWidget* parent = nullptr);
    ~TfmIsp() override;

    void SetImages(const UpdateImages& images);
    const UpdateImages& Images() const { return images_; }
    // The unit's update session.
    UpdateSession& Session() { return *session_; }
    const UpdateSession& Session() const { return *session_; }
    // Where written and passed reports are traced and logged.
    ReportLog& Reports() { return *reportLog_; }
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
    // A word about the unit held that does not keep it from being updated (empty: none): it
    // came in update mode although no run of this window put it there. Shown in the heading's
    // place while there is no DeviceProblem(); StatusChanged() is emitted when it changes.
    QString DeviceNotice() const { return deviceNotice_; }
    void SetDeviceNotice(const QString& text);
    TfmProgData* ProgDataWindow() const { return fmProgData_; }

    // The units present and which one the session is for (see unit_selection.h).
    const UnitSelection& Units() const { return units_; }
    // --port / --serial: only a unit they accept is ever taken.
    void SetUnitRequest(const UnitRequest& request);
    // The user's pick while several units are present (the chooser's list calls it).
    void ChooseUnit(const UnitIdentity& unit);
    // Several units are present and nothing says which one to update.
    bool UnitChoiceNeeded() const { return units_.ChoiceNeeded(); }
    UnitChooser* Chooser() const { return unitChooser_; }

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

  signals:
    // Emitted whenever the status bar's simple text, a panel text, the progress or the device
    // problem changes.
    void StatusChanged();

  public:
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
    TJvHidDeviceController* HidCtl = nullptr;

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
    void Memory1Click();
    void HidData1Click();
    void SetStatusRed(bool red);
    void SetSimpleText(const QString& text);
    void SetPanelText(int panel, const QString& text);
    void SetProgress(int position);
    void SetProgressMax(int maximum);
    void ShowInfo(const QString& text);   // information dialog
    void ShowError(const QString& text);  // error dialog, one OK button
    bool Confirm(const QString& text);    // question, "No" the default; true for "Yes"
    // Refreshes the program-data window with count bytes from address 0.
    void ShowDump(const uint8_t* bytes, std::size_t count);

    // ---- Handlers of the update flows: the session runs them ----
    void SubmitCommand(const LCmd& cmd, bool append, bool framed) {
        session_->SubmitCommand(cmd, append, framed);
    }
    void TearDownLink() { session_->TearDownLink(); }
    void tmUsbWaitTimer() { session_->tmUsbWaitTimer(); }
    void tmWaitDisconnectTimer() { session_->tmWaitDisconnectTimer(); }
    void btnStartProgramClick() { session_->btnStartProgramClick(); }
    // Refreshes the program-data window with the first count bytes of ProgramBuffer.
    void ShowProgramDump(int count) { session_->ShowProgramDump(count); }
    void bnMcuProgramClick() { session_->bnMcuProgramClick(); }
    void tmMcuProgTimer() { session_->tmMcuProgTimer(); }
    void StartMcuLink() { session_->StartMcuLink(); }
    void SendNextStep() { session_->SendNextStep(); }
    void OnAnswer(const BSTM& answer, uint32_t elapsedMs) { session_->OnAnswer(answer, elapsedMs); }
    void bnSecurityClick() { session_->bnSecurityClick(); }
    void bnDspPorgramClick() { session_->bnDspPorgramClick(); }
    void tmDspProgramTimer() { session_->tmDspProgramTimer(); }
    void tmRunStepTimer() { session_->tmRunStepTimer(); }

  protected:
    void closeEvent(QCloseEvent* event) override;
    // Enter, and Space with no button focused, press "Start Program ".
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildControls();
    // Names and descriptions for screen readers.
    void DescribeControls();
    // Records and shows a backend module that could not be loaded.
    void CheckBackend();
    // Works out DeviceProblem() from the held device, the images and the last change pass.
    void UpdateDeviceProblem();
    bool PlaceholdersInUse() const;
    // The heading, or in its place the device problem or else the notice.
    void ShowHeadingLine();
    void WireHandlers();
    // Takes in the units present before a pass offers them; a unit held that is no longer
    // the one wanted goes back to the controller.
    void RefreshUnits();
    // The chooser's row: shown, and the window one row taller, while several units are there.
    void ShowUnitChooser();

    DialogSeam* dialogs_ = nullptr;
    QString backendProblem_;
    bool AskToClose();

    QString deviceProblem_;
    QString deviceNotice_;
    // Noted by the enumerate handler for a device it could not take (empty: none).
    QString accessProblem_;
    // How long a device without access has been waiting for udev to grant it.
    AccessWait* accessWait_ = nullptr;
    bool heldIsSimulated_ = false;
    UnitSelection units_;
    UnitChooser* unitChooser_ = nullptr;
    bool askBeforeClosing_ = true;
    bool closeQuestionOpen_ = false;
    UpdateImages images_;
    QPointer<TfmHidData> fmHidData_;
    QPointer<TfmProgData> fmProgData_;
    ReportLog* reportLog_ = nullptr;  // a child of the window
    // The unit's session; it goes before the window's controls and its controller.
    std::unique_ptr<UpdateSession> session_;
};
