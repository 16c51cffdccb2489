// The main window: controls, device detection, the link to the device and the report I/O.
#include "app/isp.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QMetaObject>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <utility>
#include <vector>

#include "app/access_wait.h"
#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/dialogs.h"
#include "app/run_phase.h"
#include "app/status_bar.h"
#include "firmware/images.h"
#include "hid/backend.h"
#include "hid/hid.h"
#include "hid/jvhidcontrollerclass.h"
#include "hid/moduleloader.h"

namespace {

constexpr uint16_t kVendorId = 0x0168;
constexpr uint16_t kProductUpdate = 0x0904;
constexpr uint16_t kProductRun = 0x0821;

constexpr uint32_t kWmUsbAnswer = 0x0550;

// Outer size of the window; the client area is what is left inside the frame.
constexpr int kFrameWidth = 431;
constexpr int kFrameHeight = 172;
constexpr int kClientWidth = 415;
constexpr int kClientHeight = 133;
constexpr int kProgressHeight = 17;

const QString kPanelRunMode = QStringLiteral("Detect Run HID");
const QString kPanelUpdateMode = QStringLiteral("Detect Update HID");
const QString kPanelNoDevice = QStringLiteral("No Device");
const QString kPanelDisconnect = QStringLiteral("Disconnect");

// The simulated device (in this process, or behind the kernel's uhid) says what it is in its
// serial number; placeholder images may be written to it.
bool IsSimulatedDevice(TJvHidDevice* dev) {
    return dev->GetSerialNumber().starts_with(u"SIM");
}

// Why a device that is there cannot be opened for reading and writing, in the user's words.
// waitOver: udev has had its time to grant the access.
QString AccessProblem(uint32_t error, const std::string& path, bool waitOver) {
    const QString node = QString::fromStdString(path);
    if (error == ERROR_ACCESS_DENIED && !waitOver) {
        return QStringLiteral("Waiting for access to %1 (granted by udev as the device appears).")
            .arg(node);
    }
    if (error == ERROR_SHARING_VIOLATION) {
        return QStringLiteral(
                   "Another program is updating this device (%1). Close it, or let it finish.")
            .arg(node);
    }
    if (error == ERROR_ACCESS_DENIED) {
        return QStringLiteral(
                   "%1 cannot be opened for reading and writing: install the udev rule "
                   "70-velto-update.rules (see the README), then plug the device in again.")
            .arg(node);
    }
    return QStringLiteral("%1 cannot be opened for reading and writing: %2")
        .arg(node, QString::fromStdString(SysErrorMessage(error)));
}

bool IsVelto(const TJvHidDevice* dev) {
    return dev != nullptr && dev->Attributes.VendorID == kVendorId &&
           (dev->Attributes.ProductID == kProductUpdate ||
            dev->Attributes.ProductID == kProductRun);
}

// The client area: controls sit at fixed places, the progress and status bars along the bottom.
class FormArea : public QWidget {
  public:
    FormArea(QWidget* parent) : QWidget(parent) {}
    QWidget* progress = nullptr;
    QWidget* status = nullptr;

  protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        const int w = width();
        const int h = height();
        if (status != nullptr) status->setGeometry(0, h - status->height(), w, status->height());
        const int statusHeight = status != nullptr ? status->height() : 0;
        if (progress != nullptr) {
            progress->setGeometry(0, h - statusHeight - kProgressHeight, w, kProgressHeight);
        }
    }
};

QFont PixelFont(const QFont& base, int pixels) {
    QFont f = base;
    f.setPixelSize(pixels);
    return f;
}

}  // namespace

TfmIsp::TfmIsp(DialogSeam* dialogs, QWidget* parent) : QMainWindow(parent), dialogs_(dialogs) {
    BuildControls();
    HidCtl = new TJvHidDeviceController(this);
    Watch = new RunWatch(this);
    accessWait_ = new AccessWait(this);
    WireHandlers();
    FormCreate();
    CheckBackend();
}

void TfmIsp::CheckBackend() {
    if (IsHidLoaded()) return;
    // Without its backend the window could only say "No Device", which sends the user off to
    // check the cable; this says what is really wrong.
    const QString why = QString::fromStdString(ModuleLoadError());
    backendProblem_ =
        QStringLiteral(
            "The HID backend module %1 cannot be loaded (%2), so no device can be "
            "seen. Reinstall the program.")
            .arg(QString::fromLatin1(HidBackendModule()),
                 why.isEmpty() ? QStringLiteral("it lacks entry points this program needs") : why);
    SetPanelText(1, QStringLiteral("No HID backend"));
    // Once the window is up, so that the dialog has it as its parent on screen.
    QTimer::singleShot(0, this, [this] { ShowError(backendProblem_); });
}

TfmIsp::~TfmIsp() {
    // Everything that can call back into the window goes while the window is still whole:
    // the processor's worker first, then the device's reader, then the controller.
    for (QTimer* t : {tmUsbWait, tmWaitDisconnect, tmDspProgram, tmMcuProg, tmRunStep})
        t->stop();
    TearDownLink();
    TJvHidDevice* dev = nullptr;
    {
        std::lock_guard<std::mutex> guard(HidDeviceLock);
        dev = HidDevice;
        HidDevice = nullptr;
        outputReportLength_ = 0;
    }
    if (dev != nullptr) HidCtl->CheckIn(dev);
    delete HidCtl;
    HidCtl = nullptr;
}

void TfmIsp::BuildControls() {
    setObjectName(QStringLiteral("fmIsp"));
    setWindowTitle(QStringLiteral("Update Velto V1.03 DezArurEdodOzave"));
    setFont(PixelFont(font(), 11));

    auto* area = new FormArea(this);
    area->setObjectName(QStringLiteral("FormArea"));
    setCentralWidget(area);

    lbHidShow = new QLabel(QStringLiteral("Device Update"), area);
    lbHidShow->setObjectName(QStringLiteral("lbHidShow"));
    lbHidShow->setGeometry(104, 16, 201, 20);
    lbHidShow->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    lbHidShow->setFont(PixelFont(font(), 16));

    // Takes the heading's place while something keeps the device from being updated.
    lbProblem = new QLabel(area);
    lbProblem->setObjectName(QStringLiteral("lbProblem"));
    lbProblem->setGeometry(6, 1, kClientWidth - 12, 46);
    lbProblem->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    lbProblem->setWordWrap(true);
    QPalette warning = lbProblem->palette();
    warning.setColor(QPalette::WindowText, QColor(0xA0, 0x00, 0x00));
    lbProblem->setPalette(warning);
    lbProblem->hide();

    auto makeButton = [&](QPushButton*& button, const char* name, const char* text, QRect rect,
                          bool enabled) {
        button = new QPushButton(QString::fromLatin1(text), area);
        button->setObjectName(QString::fromLatin1(name));
        button->setGeometry(rect);
        button->setFont(PixelFont(font(), 13));
        button->setEnabled(enabled);
        button->setAutoDefault(false);
    };
    makeButton(bnSecurity, "bnSecurity", "Security", QRect(88, 52, 80, 25), false);
    makeButton(bnDspPorgram, "bnDspPorgram", "Dsp Prog", QRect(168, 52, 80, 25), false);
    makeButton(bnMcuProgram, "bnMcuProgram", "Mcu Prog", QRect(248, 52, 80, 25), true);
    makeButton(btnStartProgram, "btnStartProgram", "Start Program ", QRect(88, 48, 241, 30), false);
    // In normal use only the start button is seen; the three below it are for service work.
    btnStartProgram->raise();
    QWidget::setTabOrder(bnMcuProgram, bnSecurity);
    QWidget::setTabOrder(bnSecurity, bnDspPorgram);
    QWidget::setTabOrder(bnDspPorgram, btnStartProgram);

    pbProgress = new QProgressBar(area);
    pbProgress->setObjectName(QStringLiteral("pbProgress"));
    pbProgress->setRange(0, 100);
    pbProgress->setValue(0);
    pbProgress->setTextVisible(false);
    pbProgress->setFixedHeight(kProgressHeight);
    area->progress = pbProgress;

    sbStatus = new TStatusBar(area);
    sbStatus->SetPanelText(0, kPanelDisconnect);
    area->status = sbStatus;

    // Service entries: no visible menu shows them, the shortcuts reach them.
    Memory1 = new QAction(QStringLiteral("Memory"), this);
    Memory1->setObjectName(QStringLiteral("Memory1"));
    Memory1->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_M));
    Memory1->setShortcutContext(Qt::WindowShortcut);
    addAction(Memory1);
    HidData1 = new QAction(QStringLiteral("HidData"), this);
    HidData1->setObjectName(QStringLiteral("HidData1"));
    HidData1->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_H));
    HidData1->setShortcutContext(Qt::WindowShortcut);
    addAction(HidData1);

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

    // The controls sit at fixed places: a window that could be resized would only show empty
    // space, and window managers draw a resize grip along the bottom edge of a resizable
    // window, which looks like a clipped second status bar under ours.
    setFixedSize(kClientWidth, kClientHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect desk = screen->availableGeometry();
        move(desk.center() - QPoint(kFrameWidth / 2, kFrameHeight / 2));
    }
}

void TfmIsp::WireHandlers() {
    connect(bnSecurity, &QPushButton::clicked, this, [this] { bnSecurityClick(); });
    connect(bnDspPorgram, &QPushButton::clicked, this, [this] { bnDspPorgramClick(); });
    connect(bnMcuProgram, &QPushButton::clicked, this, [this] { bnMcuProgramClick(); });
    connect(btnStartProgram, &QPushButton::clicked, this, [this] { btnStartProgramClick(); });
    connect(Memory1, &QAction::triggered, this, [this] { Memory1Click(); });
    connect(HidData1, &QAction::triggered, this, [this] { HidData1Click(); });

    connect(tmUsbWait, &QTimer::timeout, this, [this] { tmUsbWaitTimer(); });
    connect(tmWaitDisconnect, &QTimer::timeout, this, [this] { tmWaitDisconnectTimer(); });
    connect(tmDspProgram, &QTimer::timeout, this, [this] { tmDspProgramTimer(); });
    connect(tmMcuProg, &QTimer::timeout, this, [this] { tmMcuProgTimer(); });
    connect(tmRunStep, &QTimer::timeout, this, [this] { tmRunStepTimer(); });

    HidCtl->SetOnEnumerate(
        [this](TJvHidDevice* dev, int idx) { return HidCtlEnumerate(dev, idx); });
    HidCtl->SetOnDeviceData(
        [this](TJvHidDevice* dev, uint8_t reportId, const uint8_t* bytes, uint16_t size) {
            HidCtlDeviceData(dev, reportId, bytes, size);
        });
    HidCtl->SetOnDeviceDataError(
        [this](TJvHidDevice* dev, uint32_t error) { HidCtlDeviceDataError(dev, error); });
    HidCtl->SetOnDeviceUnplug([this](TJvHidDevice* dev) { HidCtlDeviceUnplug(dev); });
    HidCtl->SetOnDeviceChange([this](TJvHidDeviceController*) { HidCtlDeviceChange(); });
    connect(Watch, &RunWatch::Expired, this,
            [this](RunPhase phase, int seconds) { OnWaitExpired(phase, seconds); });
    // The device still waiting for access is looked at again, and now told about in full.
    connect(accessWait_, &AccessWait::RanOut, this, [this] { HidCtlDeviceChange(); });
    // The window's own device-change handling, after the controller has dealt with it.
    connect(HidCtl, &TJvHidDeviceController::DeviceChangeMessage, this, [this] {
        if (HidDevice == nullptr) NoDeviceDisplay();
    });
}

void TfmIsp::SetImages(const UpdateImages& images) {
    images_ = images;
    UpdateDeviceProblem();
}

void TfmIsp::SetDiagnosticWindows(TfmHidData* hidData, TfmProgData* progData) {
    fmHidData_ = hidData;
    fmProgData_ = progData;
    if (hidData != nullptr) hidData->SetDialogs(dialogs_);
}

void TfmIsp::SetReportTrace(std::function<void(const QString& line)> trace) {
    std::lock_guard<std::mutex> guard(traceLock_);
    reportTrace_ = std::move(trace);
}

// ---- Status ----

QString TfmIsp::StatusPanelText(int panel) const {
    return sbStatus->PanelText(panel);
}
QString TfmIsp::StatusSimpleText() const {
    return sbStatus->SimpleText();
}
bool TfmIsp::StatusIsRed() const {
    return sbStatus->IsRed();
}
int TfmIsp::ProgressPosition() const {
    return pbProgress->value();
}
int TfmIsp::ProgressMaximum() const {
    return pbProgress->maximum();
}

void TfmIsp::SetStatusRed(bool red) {
    sbStatus->SetRed(red);
}

void TfmIsp::SetSimpleText(const QString& text) {
    if (sbStatus->SimpleText() == text) return;
    sbStatus->SetSimpleText(text);
    emit StatusChanged();
}

void TfmIsp::SetPanelText(int panel, const QString& text) {
    if (sbStatus->PanelText(panel) == text) return;
    sbStatus->SetPanelText(panel, text);
    emit StatusChanged();
}

void TfmIsp::SetProgress(int position) {
    // A position outside the range is held at its nearer end, as the bar shows it.
    const int clamped = std::clamp(position, pbProgress->minimum(), pbProgress->maximum());
    if (pbProgress->value() == clamped) return;
    pbProgress->setValue(clamped);
    emit StatusChanged();
}

void TfmIsp::SetProgressMax(int maximum) {
    const int max = std::max(maximum, pbProgress->minimum());
    if (pbProgress->maximum() == max) return;
    pbProgress->setMaximum(max);
    emit StatusChanged();
}

void TfmIsp::ShowInfo(const QString& text) {
    if (dialogs_ != nullptr) {
        dialogs_->Show(DialogSeam::Kind::Information, text);
    } else {
        MessageBoxDialogs(this).Show(DialogSeam::Kind::Information, text);
    }
}

void TfmIsp::ShowError(const QString& text) {
    if (dialogs_ != nullptr) {
        dialogs_->Show(DialogSeam::Kind::Error, text);
    } else {
        MessageBoxDialogs(this).Show(DialogSeam::Kind::Error, text);
    }
}

bool TfmIsp::Confirm(const QString& text) {
    if (dialogs_ != nullptr) return dialogs_->Confirm(text);
    return MessageBoxDialogs(this).Confirm(text);
}

// ---- Window ----

void TfmIsp::FormCreate() {
    NoDeviceDisplay();
    McuUpdatePending = false;
    RunStage = 0;
}

void TfmIsp::FormClose() {
    TearDownLink();
}

bool TfmIsp::WriteInProgress() const {
    return (Step > 1 && Proc != nullptr) || DspWriting;
}

void TfmIsp::closeEvent(QCloseEvent* event) {
    // One question at a time: a second close while it is open waits for its answer.
    if (closeQuestionOpen_) {
        event->ignore();
        return;
    }
    if (askBeforeClosing_ && WriteInProgress() && !AskToClose()) {
        event->ignore();
        return;
    }
    FormClose();
    QMainWindow::closeEvent(event);
}

bool TfmIsp::AskToClose() {
    closeQuestionOpen_ = true;
    const bool yes =
        Confirm(QStringLiteral("The device is being written. Closing now stops the update "
                               "half way, and the device will need it again.\n\n"
                               "Close anyway?"));
    closeQuestionOpen_ = false;
    return yes;
}

void TfmIsp::NoDeviceDisplay() {
    // A device that is held keeps its display.
    if (HidDevice != nullptr) return;
    SetPanelText(1, kPanelNoDevice);
    bnDspPorgram->setEnabled(false);
    bnMcuProgram->setEnabled(false);
}

void TfmIsp::UsbMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
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

void TfmIsp::Memory1Click() {
    if (fmProgData_ == nullptr) return;
    if (dialogs_ != nullptr) {
        dialogs_->ShowModal(*fmProgData_);
    } else {
        fmProgData_->exec();
    }
}

void TfmIsp::HidData1Click() {
    if (fmHidData_ == nullptr) return;
    const QRect main = frameGeometry();
    fmHidData_->PlaceAt(QPoint(main.x() + main.width() + 10, main.y()));
    fmHidData_->show();
    fmHidData_->raise();
}

void TfmIsp::ShowProgramDump(int count) {
    if (fmProgData_ == nullptr) return;
    const auto n = static_cast<std::size_t>(std::clamp<int>(count, 0, ProgramBuffer.size()));
    fmProgData_->ShowDump(ProgramBuffer.data(), n, 0);
}

void TfmIsp::btnStartProgramClick() {
    btnStartProgram->setEnabled(false);
    bnMcuProgramClick();
}

// ---- Detection ----

void TfmIsp::HidCtlDeviceChange() {
    // Access is judged afresh at each pass: the enumerate handler notes what is in the way.
    accessProblem_.clear();
    HidCtl->Enumerate();
    if (accessProblem_.isEmpty()) accessWait_->Clear();
    UpdateDeviceProblem();
}

bool TfmIsp::RefusedForProblem() {
    if (deviceProblem_.isEmpty()) return false;
    // Nothing is written while something is in the way; a run that was under way ends.
    tmMcuProg->stop();
    McuUpdatePending = false;
    RunStage = 0;
    Watch->End();
    SetStatusRed(false);
    return true;
}

bool TfmIsp::PlaceholdersInUse() const {
    return (images_.McuHexLines == nullptr && kMcuImageIsPlaceholder) ||
           (images_.DspWords == nullptr && kDspImageIsPlaceholder);
}

void TfmIsp::UpdateDeviceProblem() {
    QString problem;
    if (HidDevice != nullptr) {
        if (PlaceholdersInUse() && !heldIsSimulated_) {
            problem = QStringLiteral(
                "This build carries placeholder images, not the product's firmware: it updates "
                "only the simulated device. Build it with -DVELTO_MCU_IMAGE and "
                "-DVELTO_DSP_IMAGE (see the README).");
        }
    } else {
        problem = accessProblem_;
    }
    if (problem == deviceProblem_) return;
    const bool cleared = problem.isEmpty();
    deviceProblem_ = problem;
    lbProblem->setText(problem);
    lbProblem->setToolTip(problem);
    lbProblem->setVisible(!cleared);
    lbHidShow->setVisible(cleared);
    if (!cleared) {
        btnStartProgram->setEnabled(false);
    } else if (HidDevice != nullptr) {
        // Offered as detection offers it.
        const QString panel = StatusPanelText(1);
        if ((panel == kPanelRunMode && RunStage == 0) ||
            (panel == kPanelUpdateMode && !McuUpdatePending)) {
            btnStartProgram->setEnabled(true);
        }
    }
    emit StatusChanged();
}

bool TfmIsp::HidCtlEnumerate(TJvHidDevice* HidDev, int Idx) {
    // The window holds one device at a time; a second one stays with the controller.
    if (HidDevice != nullptr || !IsVelto(HidDev)) return true;
    // A device that cannot be opened for reading and writing is not taken: the window says
    // why instead. A later change pass (its access changed) offers it again.
    if (!HidDev->ReadWriteAccess) {
        if (accessProblem_.isEmpty()) {
            if (HidDev->ReadWriteError() == ERROR_ACCESS_DENIED) accessWait_->Seen();
            accessProblem_ = AccessProblem(
                HidDev->ReadWriteError(),
                HidDev->PnPInfo != nullptr ? HidDev->PnPInfo->DevicePath : "", accessWait_->Over());
        }
        return true;
    }
    const uint16_t product = HidDev->Attributes.ProductID;
    TJvHidDevice* dev = nullptr;
    if (!HidCtl->CheckOutByIndex(dev, Idx) || dev == nullptr) return true;
    {
        std::lock_guard<std::mutex> guard(HidDeviceLock);
        HidDevice = dev;
        outputReportLength_ = dev->Caps().OutputReportByteLength;
    }
    heldIsSimulated_ = IsSimulatedDevice(dev);
    UpdateDeviceProblem();
    const bool offer = deviceProblem_.isEmpty();
    if (product == kProductUpdate) {
        SetPanelText(1, kPanelUpdateMode);
        bnSecurity->setEnabled(true);
        bnDspPorgram->setEnabled(false);
        if (!McuUpdatePending && offer) btnStartProgram->setEnabled(true);
    } else {
        SetPanelText(1, kPanelRunMode);
        bnSecurity->setEnabled(true);
        bnDspPorgram->setEnabled(true);
        bnMcuProgram->setEnabled(true);
        if (RunStage == 0 && offer) btnStartProgram->setEnabled(true);
        if (RunStage == 3) bnSecurityClick();
    }
    return true;
}

void TfmIsp::HidCtlDeviceUnplug(TJvHidDevice* HidDev) {
    if (!IsVelto(HidDev)) return;
    // Another device of ours leaving does not end the link to the one held.
    if (HidDevice != nullptr && HidDev != HidDevice) return;
    // Said at once (empty when the run itself restarted the unit), and before the progress
    // goes back to 0, in place of a step whose count would no longer agree with it.
    const QString left = Watch->Left();
    if (!left.isEmpty()) SetSimpleText(left);
    // Leaving in the middle of the update's exchange (not at its reset into update mode, where
    // Step is still 1) cuts the update off: the run ends, and a device seen again in update
    // mode offers "Start Program " to update it from there.
    if (Step > 1) {
        McuUpdatePending = false;
        RunStage = 0;
        tmUsbWait->stop();  // paced a packet of the link that goes now
    }
    // A full run cut off in its parameter read or its DSP programming is over too: whatever
    // device comes back starts again from "Start Program ". (At the update's own reset the
    // device leaves with the run at stage 3 and no read open; that run goes on.)
    if (RunStage == 1 || RunStage == 2 || (RunStage == 3 && paramReadOpen_)) {
        RunStage = 0;
        McuUpdatePending = false;
        tmRunStep->stop();
        tmDspProgram->stop();
    }
    paramReadOpen_ = false;
    // The processor's worker writes through the device: stop it before the device goes.
    TearDownLink();
    TJvHidDevice* dev = nullptr;
    {
        std::lock_guard<std::mutex> guard(HidDeviceLock);
        dev = HidDevice;
        HidDevice = nullptr;
        outputReportLength_ = 0;
    }
    if (dev != nullptr) HidCtl->CheckIn(dev);
    heldIsSimulated_ = false;
    SetPanelText(1, kPanelNoDevice);
    bnDspPorgram->setEnabled(false);
    bnMcuProgram->setEnabled(true);
    btnStartProgram->setEnabled(false);
    UpdateDeviceProblem();
}

void TfmIsp::HidCtlDeviceDataError(TJvHidDevice* /*HidDev*/, uint32_t Error) {
    // A device leaving ends its pending read this way, often before its removal is handled;
    // the removal itself tells the user ("No Device"), so it is no read error.
    if (Error == ERROR_DEVICE_NOT_CONNECTED) return;
    ShowInfo(QStringLiteral("READ ERROR: ") + QString::fromStdString(SysErrorMessage(Error)));
}

// ---- Link ----

void TfmIsp::HidCtlDeviceData(TJvHidDevice* /*HidDev*/, uint8_t ReportID, const uint8_t* Data,
                              uint16_t Size) {
    if (Data == nullptr) return;
    staleAnswers_.Observe(Data, Size);
    if (!AcceptInput) return;
    // In update mode the device repeats its latest answer every millisecond, so reports
    // queued while this thread was late may still hold the answer to the packet before the
    // last. Such a repeat says nothing about the last packet: it is dropped, and the next
    // report is judged. It never reaches the link either, so an answer that never comes
    // still ends in the link's time-out.
    if (IsStaleRepeat(Data, Size)) return;
    if (Step > 1) AcceptInput = false;
    std::size_t count = 64;
    if (Size >= 5 && Data[0] == 0x10 && Data[1] == 0x02 && Data[2] == 0x01 && Data[3] == 0x00) {
        count = static_cast<std::size_t>(Data[4]) + 8;
    }
    // A count the report cannot hold is cut to what arrived.
    count = std::min<std::size_t>(count, Size);
    if (Proc != nullptr && count > 0) Proc->Receive(Data, static_cast<uint32_t>(count));
    LogReport('R', ReportID, Data, count);
}

void TfmIsp::WriteReport(const uint8_t* bytes, uint32_t len) {
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
        line = FormatReportLine('W', 0, report.data() + 1, written);
        TraceReport(line);
        uint32_t done = 0;
        HidDevice->WriteFile(report.data(), static_cast<uint32_t>(report.size()), done);
    }
    ShowReportLine(line);
}

void TfmIsp::SubmitCommand(const LCmd& cmd, bool append, bool framed) {
    if (Proc == nullptr) return;
    BSTM bytes = cmd.GetBytes(framed ? 1 : 0);
    // The processor refuses frames shorter than two bytes by throwing; none is ever meant.
    if (bytes.size() < 2) return;
    Proc->PostFrame(bytes, append);
}

bool TfmIsp::OpenLink() {
    if (Proc != nullptr) return true;
    auto* proc = new LUsbProc(this);
    if (!proc->Open()) {
        delete proc;
        return false;
    }
    Proc = proc;
    return true;
}

void TfmIsp::TearDownLink() {
    if (Proc != nullptr) {
        // Cleared first: answers delivered while the worker stops find no processor.
        LUsbProc* proc = Proc;
        Proc = nullptr;
        proc->Close();
        delete proc;
        AcceptInput = false;
    }
    Step = 1;
    DspWriting = false;
    SetStatusRed(false);
    SetPanelText(0, kPanelDisconnect);
    SetProgress(0);
}

void TfmIsp::tmUsbWaitTimer() {
    tmUsbWait->stop();
    AcceptInput = true;
}

void TfmIsp::OnWaitExpired(RunPhase phase, int seconds) {
    // A unit that is there and silent ends the run as a failed step does; its link goes, and
    // what the window offers is what the unit held now allows.
    for (QTimer* t : {tmUsbWait, tmWaitDisconnect, tmDspProgram, tmMcuProg, tmRunStep})
        t->stop();
    McuAnswerDue = false;
    paramReadOpen_ = false;
    McuUpdatePending = false;
    RunStage = 0;
    SetSimpleText(runphase::StoppedText(phase));
    TearDownLink();
    OfferHeldDevice();
    ShowError(runphase::SilenceText(phase, seconds));
}

void TfmIsp::OfferHeldDevice() {
    if (HidDevice == nullptr) {
        SetPanelText(1, kPanelNoDevice);
        NoDeviceDisplay();
        return;
    }
    const bool offer = deviceProblem_.isEmpty();
    bnSecurity->setEnabled(true);
    if (HidDevice->Attributes.ProductID == kProductUpdate) {
        SetPanelText(1, kPanelUpdateMode);
        bnDspPorgram->setEnabled(false);
    } else {
        SetPanelText(1, kPanelRunMode);
        bnDspPorgram->setEnabled(true);
        bnMcuProgram->setEnabled(true);
    }
    btnStartProgram->setEnabled(offer);
}

void TfmIsp::tmWaitDisconnectTimer() {
    tmWaitDisconnect->stop();
    TearDownLink();
}

// ---- HID log ----

QString TfmIsp::FormatReportLine(char direction, uint8_t reportId, const uint8_t* bytes,
                                 std::size_t count) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(5 + count * 3);
    line += direction;
    line += ' ';
    line += kHex[reportId >> 4];
    line += kHex[reportId & 0x0F];
    line += "  ";
    for (std::size_t i = 0; bytes != nullptr && i < count; ++i) {
        line += kHex[bytes[i] >> 4];
        line += kHex[bytes[i] & 0x0F];
        line += ' ';
    }
    return QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
}

void TfmIsp::LogReport(char direction, uint8_t reportId, const uint8_t* bytes, std::size_t count) {
    const QString line = FormatReportLine(direction, reportId, bytes, count);
    TraceReport(line);
    ShowReportLine(line);
}

void TfmIsp::TraceReport(const QString& line) {
    std::lock_guard<std::mutex> guard(traceLock_);
    if (reportTrace_) reportTrace_(line);
}

void TfmIsp::ShowReportLine(const QString& line) {
    if (QThread::currentThread() == thread()) {
        // Lines the worker logged before this one go first.
        DrainReportLog();
        if (fmHidData_ != nullptr) fmHidData_->AddLine(line);
        return;
    }
    // Written on the processor's worker: the log window belongs to the UI thread, which also
    // decides whether it is shown. One wake-up serves every line queued until it runs.
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(logLock_);
        pendingLog_.push_back(line);
        wake = !drainPosted_;
        drainPosted_ = true;
    }
    if (wake) QMetaObject::invokeMethod(this, "DrainReportLog", Qt::QueuedConnection);
}

void TfmIsp::DrainReportLog() {
    std::vector<QString> lines;
    {
        std::lock_guard<std::mutex> guard(logLock_);
        lines.swap(pendingLog_);
        drainPosted_ = false;
    }
    if (fmHidData_ == nullptr) return;
    for (const QString& line : lines)
        fmHidData_->AddLine(line);
}
