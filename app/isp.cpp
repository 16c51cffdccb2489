// The main window: controls, device detection, the link to the device and the report I/O.
#include "app/isp.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QColor>
#include <QComboBox>
#include <QFont>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <utility>

#include "app/access_wait.h"
#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/diag/report_log.h"
#include "app/dialogs.h"
#include "app/status_bar.h"
#include "app/unit_chooser.h"
#include "firmware/images.h"
#include "hid/backend.h"
#include "hid/hid.h"
#include "hid/jvhidcontrollerclass.h"
#include "hid/moduleloader.h"

namespace {

constexpr uint16_t kProductUpdate = 0x0904;

// Outer size of the window; the client area is what is left inside the frame.
constexpr int kFrameWidth = 431;
constexpr int kFrameHeight = 172;
constexpr int kClientWidth = 415;
constexpr int kClientHeight = 133;
constexpr int kProgressHeight = 17;

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
    reportLog_ = new ReportLog(this);
    session_ = std::make_unique<UpdateSession>(*this, *reportLog_);
    HidCtl = new TJvHidDeviceController(this);
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
    // the session (its processor's worker, then its device's reader), then the controller.
    session_.reset();
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

    // Below the buttons; the window grows by its row while it is shown.
    unitChooser_ = new UnitChooser(area);
    unitChooser_->setGeometry(6, 80, kClientWidth - 12, UnitChooser::kRowHeight);
    unitChooser_->hide();
    QWidget::setTabOrder(btnStartProgram, unitChooser_->List());

    sbStatus = new TStatusBar(area);
    sbStatus->SetPanelText(0, kPanelDisconnect);
    area->status = sbStatus;

    DescribeControls();

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

    // The controls sit at fixed places: a window that could be resized would only show empty
    // space, and window managers draw a resize grip along the bottom edge of a resizable
    // window, which looks like a clipped second status bar under ours.
    setFixedSize(kClientWidth, kClientHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect desk = screen->availableGeometry();
        move(desk.center() - QPoint(kFrameWidth / 2, kFrameHeight / 2));
    }
}

void TfmIsp::DescribeControls() {
    setAccessibleName(windowTitle());
    setAccessibleDescription(QStringLiteral("Updates a Velto unit's firmware and DSP program"));
    lbHidShow->setAccessibleName(lbHidShow->text());
    lbHidShow->setAccessibleDescription(QStringLiteral("Heading"));
    lbProblem->setAccessibleName(QStringLiteral("Device notice"));  // the line, once shown
    lbProblem->setAccessibleDescription(
        QStringLiteral("What keeps the device from being updated, or what it needs"));
    btnStartProgram->setAccessibleName(btnStartProgram->text());
    btnStartProgram->setAccessibleDescription(
        QStringLiteral("Updates the device: its microcontroller firmware, then its DSP "
                       "program. Enter or Space presses it."));
    // The three service buttons lie under "Start Program " but stay in the tab order.
    bnMcuProgram->setAccessibleName(bnMcuProgram->text());
    bnMcuProgram->setAccessibleDescription(
        QStringLiteral("Service action: starts the whole update from the microcontroller "
                       "firmware, as \"Start Program \" does"));
    bnSecurity->setAccessibleName(bnSecurity->text());
    bnSecurity->setAccessibleDescription(
        QStringLiteral("Service action: starts the read of the device's parameters, from "
                       "which the DSP programming that follows is masked"));
    bnDspPorgram->setAccessibleName(bnDspPorgram->text());
    bnDspPorgram->setAccessibleDescription(
        QStringLiteral("Service action: starts writing the DSP program to the device"));
    pbProgress->setAccessibleName(QStringLiteral("Progress"));
    pbProgress->setAccessibleDescription(QStringLiteral("How far the update's current part is"));
    // Focus goes to the start button as it is offered, so that Space presses it.
    btnStartProgram->installEventFilter(this);
}

bool TfmIsp::eventFilter(QObject* watched, QEvent* event) {
    if (watched == btnStartProgram && event->type() == QEvent::EnabledChange &&
        btnStartProgram->isEnabled()) {
        QWidget* focused = focusWidget();
        if (focused == nullptr || !focused->isEnabled()) btnStartProgram->setFocus();
    }
    return QMainWindow::eventFilter(watched, event);
}

void TfmIsp::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter;
    // Space reaches the window only when no button took it.
    if ((enter || key == Qt::Key_Space) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        auto* focused = qobject_cast<QPushButton*>(focusWidget());
        QPushButton* target = enter && focused != nullptr ? focused : btnStartProgram;
        if (target->isEnabled()) {
            target->click();
            event->accept();
            return;
        }
    }
    QMainWindow::keyPressEvent(event);
}

void TfmIsp::WireHandlers() {
    connect(bnSecurity, &QPushButton::clicked, this, [this] { bnSecurityClick(); });
    connect(bnDspPorgram, &QPushButton::clicked, this, [this] { bnDspPorgramClick(); });
    connect(bnMcuProgram, &QPushButton::clicked, this, [this] { bnMcuProgramClick(); });
    connect(btnStartProgram, &QPushButton::clicked, this, [this] { btnStartProgramClick(); });
    connect(Memory1, &QAction::triggered, this, [this] { Memory1Click(); });
    connect(HidData1, &QAction::triggered, this, [this] { HidData1Click(); });
    connect(unitChooser_, &UnitChooser::Chosen, this,
            [this](const UnitIdentity& unit) { ChooseUnit(unit); });
    // A run's start and end enable and disable the choice.
    connect(this, &TfmIsp::StatusChanged, this, [this] { ShowUnitChooser(); });
    connect(session_.get(), &UpdateSession::PhaseChanged, this, [this] { ShowUnitChooser(); });

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
    // The device still waiting for access is looked at again, and now told about in full.
    connect(accessWait_, &AccessWait::RanOut, this, [this] { HidCtlDeviceChange(); });
    // The window's own device-change handling, after the controller has dealt with it.
    connect(HidCtl, &TJvHidDeviceController::DeviceChangeMessage, this, [this] {
        if (session_->Device() == nullptr) NoDeviceDisplay();
    });
}

void TfmIsp::SetImages(const UpdateImages& images) {
    images_ = images;
    UpdateDeviceProblem();
}

void TfmIsp::SetDiagnosticWindows(TfmHidData* hidData, TfmProgData* progData) {
    fmHidData_ = hidData;
    fmProgData_ = progData;
    reportLog_->SetWindow(hidData);
    if (hidData != nullptr) hidData->SetDialogs(dialogs_);
}

void TfmIsp::SetReportTrace(std::function<void(const QString& line)> trace) {
    reportLog_->SetTrace(std::move(trace));
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
    QAccessibleValueChangeEvent change(pbProgress, clamped);
    QAccessible::updateAccessibility(&change);
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
    session_->FormCreate();
}

void TfmIsp::FormClose() {
    TearDownLink();
}

bool TfmIsp::WriteInProgress() const {
    return session_->WriteInProgress();
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
    if (session_->Device() != nullptr) return;
    session_->ShowMode(DeviceMode::None);
    bnDspPorgram->setEnabled(false);
    bnMcuProgram->setEnabled(false);
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

void TfmIsp::ShowDump(const uint8_t* bytes, std::size_t count) {
    if (fmProgData_ == nullptr) return;
    fmProgData_->ShowDump(bytes, count, 0);
}

// ---- Detection ----

void TfmIsp::SetUnitRequest(const UnitRequest& request) {
    units_.SetRequest(request);
    HidCtlDeviceChange();
}

void TfmIsp::ChooseUnit(const UnitIdentity& unit) {
    units_.Choose(unit);
    HidCtlDeviceChange();
}

void TfmIsp::RefreshUnits() {
    units_.FollowRun(session_->RunUnit());
    units_.SetPresent(VeltoUnitsOf(*HidCtl));
    TJvHidDevice* held = session_->Device();
    // The unit already held stays the choice when others join it.
    if (held != nullptr && !units_.Chosen() && units_.Request().Empty())
        units_.Choose(IdentityOf(*held));
    if (held != nullptr && !session_->RunUnderWay() && !units_.Wants(IdentityOf(*held))) {
        session_->DeviceLeft();
        heldIsSimulated_ = false;
    }
}

void TfmIsp::ShowUnitChooser() {
    const auto& units = units_.Present();
    const bool several = units.size() > 1;
    if (several) {
        std::optional<UnitIdentity> current = units_.Chosen();
        // The session's note of its unit: asking the device would take its lock at every step.
        if (session_->Device() != nullptr) current = session_->LastUnit();
        unitChooser_->ShowUnits(units, current,
                                units_.Request().Empty() && !session_->RunUnderWay());
    }
    if (several == unitChooser_->isVisible()) return;
    unitChooser_->setVisible(several);
    setFixedSize(kClientWidth, kClientHeight + (several ? UnitChooser::kRowHeight : 0));
}

void TfmIsp::HidCtlDeviceChange() {
    // Access is judged afresh at each pass: the enumerate handler notes what is in the way.
    accessProblem_.clear();
    RefreshUnits();
    HidCtl->Enumerate();
    ShowUnitChooser();
    if (accessProblem_.isEmpty()) accessWait_->Clear();
    UpdateDeviceProblem();
}

bool TfmIsp::PlaceholdersInUse() const {
    return (images_.McuHexLines == nullptr && kMcuImageIsPlaceholder) ||
           (images_.DspWords == nullptr && kDspImageIsPlaceholder);
}

void TfmIsp::UpdateDeviceProblem() {
    QString problem;
    if (session_->Device() != nullptr) {
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
    ShowHeadingLine();
    if (!cleared) {
        btnStartProgram->setEnabled(false);
    } else if (session_->Device() != nullptr && session_->StartOffered()) {
        // Offered as detection offers it.
        btnStartProgram->setEnabled(true);
    }
    emit StatusChanged();
}

void TfmIsp::SetDeviceNotice(const QString& text) {
    if (deviceNotice_ == text) return;
    deviceNotice_ = text;
    ShowHeadingLine();
    emit StatusChanged();
}

void TfmIsp::ShowHeadingLine() {
    const QString line = deviceProblem_.isEmpty() ? deviceNotice_ : deviceProblem_;
    // A problem is a warning; a notice only tells.
    QPalette pal = lbProblem->palette();
    pal.setColor(QPalette::WindowText, deviceProblem_.isEmpty()
                                           ? palette().color(QPalette::WindowText)
                                           : QColor(0xA0, 0x00, 0x00));
    lbProblem->setPalette(pal);
    lbProblem->setText(line);
    lbProblem->setToolTip(line);
    // A screen reader reads the line as the label's name, and is told when one appears.
    lbProblem->setAccessibleName(line.isEmpty() ? QStringLiteral("Device notice") : line);
    lbProblem->setVisible(!line.isEmpty());
    lbHidShow->setVisible(line.isEmpty());
    if (!line.isEmpty()) {
        QAccessibleEvent alert(lbProblem, QAccessible::Alert);
        QAccessible::updateAccessibility(&alert);
    }
}

bool TfmIsp::HidCtlEnumerate(TJvHidDevice* HidDev, int Idx) {
    // The window holds one device at a time; a second one stays with the controller.
    if (session_->Device() != nullptr || !IsVeltoDevice(HidDev)) return true;
    // Of several units only the one asked for, chosen, or being updated.
    if (!units_.Wants(IdentityOf(*HidDev))) return true;
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
    session_->HoldDevice(dev);
    heldIsSimulated_ = IsSimulatedDevice(dev);
    UpdateDeviceProblem();
    session_->DeviceArrived(product == kProductUpdate ? DeviceMode::Update : DeviceMode::Run,
                            deviceProblem_.isEmpty());
    return true;
}

void TfmIsp::HidCtlDeviceUnplug(TJvHidDevice* HidDev) {
    if (!IsVeltoDevice(HidDev)) return;
    // Another device of ours leaving does not end the link to the one held.
    if (session_->Device() != nullptr && HidDev != session_->Device()) return;
    session_->DeviceLeft();
    heldIsSimulated_ = false;
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
    session_->HidCtlDeviceData(ReportID, Data, Size);
}
