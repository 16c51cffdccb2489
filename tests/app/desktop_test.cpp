// The updater as a desktop citizen, end to end on the simulated device: a private dbus-daemon
// serves as the system and the session bus, with fakes of logind, the screensaver and the
// notification service beside it. Whole runs (success, an error dialog, an unplug, and no
// services at all) check when the sleep lock is taken and let go, the dock entry's progress,
// the one notification, and the time left the window shows.
#include <QAction>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QWidget>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <mutex>

#include "app/auto_run.h"
#include "app/desktop/desktop_integration.h"
#include "app/desktop/observed_dialogs.h"
#include "app/support_report.h"
#include "tests/app/flow_fixture.h"

namespace flowtest {
namespace {

const QString kAppId = QStringLiteral("com.velto.VeltoUpdate");
const QString kOk = QStringLiteral(" Program OK !! ");

// One private bus for the whole test program, as both the system and the session bus: it
// activates nothing, so a service that is not faked is simply not there.
class PrivateBus {
  public:
    static PrivateBus& Instance() {
        static PrivateBus bus;
        return bus;
    }
    ~PrivateBus() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    QString Address() const { return address_; }

  private:
    PrivateBus() {
        const QString config = dir_.filePath(QStringLiteral("bus.conf"));
        QFile f(config);
        if (!f.open(QIODevice::WriteOnly)) return;
        f.write(
            "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
            "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
            "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
            "</busconfig>\n");
        f.close();
        // posix_spawn, not QProcess: a child that runs code of this program before its exec
        // would do so in this program's memory, which the thread checker cannot follow. Should
        // the test program crash, timeout still ends the daemon within ten minutes.
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        // Nothing of the test's own output: ctest waits until every holder has closed it.
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const QByteArray configArg = ("--config-file=" + config).toLocal8Bit();
        const char* argv[] = {
            "timeout", "600", "dbus-daemon", "--nofork", "--print-address=1", configArg.constData(),
            nullptr};
        const int spawned = ::posix_spawnp(&pid_, "timeout", &actions, nullptr,
                                           const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (spawned != 0) {
            pid_ = -1;
            ::close(out[0]);
            return;
        }
        QByteArray line;
        char c = 0;
        while (::read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(out[0]);
        address_ = QString::fromLatin1(line).trimmed();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address_.toLatin1());
        qputenv("DBUS_SESSION_BUS_ADDRESS", address_.toLatin1());
    }

    QTemporaryDir dir_;
    pid_t pid_ = -1;
    QString address_;
};

// logind, the screensaver and the notification service, on a connection of their own. Their
// calls may come on QtDBus's thread: everything they record is under the lock.
class Fakes : public QDBusVirtualObject {
    Q_OBJECT

  public:
    struct Inhibition {
        QString what, who, why, mode;
        int readEnd = -1;            // the far end of the descriptor handed out
        std::size_t iapPackets = 0;  // the device's IAP packets when it was asked for
    };
    struct Launcher {
        double progress;
        bool visible;
    };
    struct Notification {
        QString summary, body;
    };

    explicit Fakes(std::function<std::size_t()> iapPackets)
        : iapPackets_(std::move(iapPackets)),
          bus_(QDBusConnection::connectToBus(PrivateBus::Instance().Address(),
                                             QStringLiteral("fakes"))) {}
    ~Fakes() override {
        // Undone here, while the object is whole: QtDBus's thread would otherwise undo them
        // as it is destroyed.
        bus_.disconnect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                        QStringLiteral("Update"), this, SLOT(OnLauncher(QDBusMessage)));
        for (const char* path : {"/org/freedesktop/login1", "/org/freedesktop/ScreenSaver",
                                 "/org/freedesktop/Notifications"})
            bus_.unregisterObject(QString::fromLatin1(path));
        Unregister();
        std::lock_guard<std::mutex> guard(lock_);
        for (const Inhibition& i : inhibitions_)
            ::close(i.readEnd);
        QDBusConnection::disconnectFromBus(QStringLiteral("fakes"));
    }

    bool Connected() const { return bus_.isConnected(); }

    // The three services; without them only the dock's signal is listened to.
    bool Register() {
        bool ok = true;
        for (const auto& [service, path] :
             {std::pair{"org.freedesktop.login1", "/org/freedesktop/login1"},
              std::pair{"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver"},
              std::pair{"org.freedesktop.Notifications", "/org/freedesktop/Notifications"}}) {
            ok = bus_.registerVirtualObject(QString::fromLatin1(path), this) && ok;
            ok = bus_.registerService(QString::fromLatin1(service)) && ok;
        }
        return ok;
    }
    void Unregister() {
        for (const char* s : {"org.freedesktop.login1", "org.freedesktop.ScreenSaver",
                              "org.freedesktop.Notifications"})
            bus_.unregisterService(QString::fromLatin1(s));
    }
    bool ListenToLauncher() {
        return bus_.connect(QString(), QString(),
                            QStringLiteral("com.canonical.Unity.LauncherEntry"),
                            QStringLiteral("Update"), this, SLOT(OnLauncher(QDBusMessage)));
    }

    QString introspect(const QString& /*path*/) const override { return QString(); }

    bool handleMessage(const QDBusMessage& m, const QDBusConnection& connection) override {
        const QList<QVariant> a = m.arguments();
        if (m.member() == QStringLiteral("Inhibit") && a.size() == 4) {
            Inhibition i{a[0].toString(), a[1].toString(), a[2].toString(), a[3].toString()};
            i.iapPackets = iapPackets_();
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) return false;
            i.readEnd = fds[0];
            {
                std::lock_guard<std::mutex> guard(lock_);
                inhibitions_.push_back(i);
            }
            connection.send(m.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(fds[1]))));
            ::close(fds[1]);
            return true;
        }
        if (m.member() == QStringLiteral("Inhibit") && a.size() == 2) {
            std::lock_guard<std::mutex> guard(lock_);
            ++screenSaverHeld_;
            connection.send(m.createReply(QVariant::fromValue(uint(41 + screenSaverHeld_))));
            return true;
        }
        if (m.member() == QStringLiteral("UnInhibit") && a.size() == 1) {
            std::lock_guard<std::mutex> guard(lock_);
            if (a[0].toUInt() == uint(41 + screenSaverHeld_)) --screenSaverHeld_;
            connection.send(m.createReply());
            return true;
        }
        if (m.member() == QStringLiteral("Notify") && a.size() == 8) {
            std::lock_guard<std::mutex> guard(lock_);
            notifications_.push_back({a[3].toString(), a[4].toString()});
            connection.send(m.createReply(QVariant::fromValue(uint(notifications_.size()))));
            return true;
        }
        return false;
    }

    std::vector<Inhibition> Inhibitions() const {
        std::lock_guard<std::mutex> guard(lock_);
        return inhibitions_;
    }
    int ScreenSaverHeld() const {
        std::lock_guard<std::mutex> guard(lock_);
        return screenSaverHeld_;
    }
    std::vector<Launcher> LauncherUpdates() const {
        std::lock_guard<std::mutex> guard(lock_);
        return launcher_;
    }
    std::vector<Notification> Notifications() const {
        std::lock_guard<std::mutex> guard(lock_);
        return notifications_;
    }
    // True once every descriptor handed out is closed by the updater.
    bool AllLocksClosed() const {
        for (const Inhibition& i : Inhibitions()) {
            pollfd p{i.readEnd, POLLIN, 0};
            if (::poll(&p, 1, 0) != 1 || (p.revents & POLLHUP) == 0) return false;
        }
        return true;
    }

  private slots:
    void OnLauncher(const QDBusMessage& m) {
        const QList<QVariant> a = m.arguments();
        if (a.size() != 2 || a[0].toString() != QStringLiteral("application://") + kAppId +
                                                    QStringLiteral(".desktop"))
            return;
        const QVariantMap p = qdbus_cast<QVariantMap>(a[1]);
        std::lock_guard<std::mutex> guard(lock_);
        launcher_.push_back({p.value(QStringLiteral("progress")).toDouble(),
                             p.value(QStringLiteral("progress-visible")).toBool()});
    }

  private:
    std::function<std::size_t()> iapPackets_;
    QDBusConnection bus_;
    mutable std::mutex lock_;
    std::vector<Inhibition> inhibitions_;
    int screenSaverHeld_ = 0;
    std::vector<Launcher> launcher_;
    std::vector<Notification> notifications_;
};

class Desktop : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(PrivateBus::Instance().Address().isEmpty()) << "no dbus-daemon";
        App();
        simbus::Bus::instance().reset();
        device = simdev::MakeDeviceOnBus();
        // Time enough for the lock's call to go round a slow bus before the first IAP packet.
        device->SetReenumerationDelay(std::chrono::milliseconds(1000));
        fakes = std::make_unique<Fakes>([this] { return LogOfUpdateMode(); });
        ASSERT_TRUE(fakes->Connected());
        ASSERT_TRUE(fakes->ListenToLauncher());

        isp = std::make_unique<TfmIsp>(&dialogs);
        hidData = std::make_unique<TfmHidData>(isp.get());
        progData = std::make_unique<TfmProgData>(isp.get());
        isp->SetDiagnosticWindows(hidData.get(), progData.get());
        UpdateImages images;
        images.McuHexLines = mcu_.Lines();
        images.McuHexLineCount = mcu_.lines.size();
        images.DspWords = dsp_.data();
        images.DspWordCount = dsp_.size();
        isp->SetImages(images);
        DesktopOptions options;
        options.appId = kAppId;
        desktop = std::make_unique<DesktopIntegration>(*isp, dialogs, options);
        isp->SetReportTrace([this](const QString& line) { trace_.Write(line); });
        report = std::make_unique<SupportReport>(*isp, desktop->Watch(), dialogs, trace_,
                                                 QStringLiteral("velto-update-sim"));
        QObject::connect(
            &desktop->Watch(), &RunObserver::Progress, isp.get(), [this](double, qint64 msLeft) {
                if (msLeft >= 0) msLeft_.push_back(msLeft);
                if (!isp->pbProgress->isTextVisible()) return;
                barText_ = isp->pbProgress->text();
                // The window with the time left, for the README.
                if (!shotTaken_ && isp->ProgressPosition() >= 12) {
                    shotTaken_ = true;
                    QDir().mkpath(QStringLiteral(VELTO_ARTIFACT_DIR));
                    isp->grab().save(
                        QStringLiteral(VELTO_ARTIFACT_DIR "/main-window-time-left.png"));
                }
            });
        // The session's phases, and the one the time left was taken in at each step.
        QObject::connect(&isp->Session(), &UpdateSession::PhaseChanged, isp.get(),
                         [this](RunPhase phase) { phases_.push_back(phase); });
        QObject::connect(&desktop->Watch(), &RunObserver::Progress, isp.get(), [this] {
            const RunPhase phase = desktop->Watch().Time().CurrentPhase();
            if (timedPhases_.empty() || timedPhases_.back() != phase) timedPhases_.push_back(phase);
            const RunProgress& p = isp->Session().Progress();
            if (p.phase == RunPhase::McuData) mcuDone_ = std::max(mcuDone_, p.done);
            if (p.phase == RunPhase::DspProgram) lastDsp_ = p;
        });
        QObject::connect(&desktop->Watch(), &RunObserver::Ended, isp.get(),
                         [this](bool ok, const QString& text) {
                             ended_.push_back({ok, text});
                         });
        isp->show();
        // The run ends while another window is active: the desktop is told.
        other = std::make_unique<QWidget>();
        other->show();
        other->activateWindow();
        ASSERT_TRUE(device->PlugIn(Mode::Run));
        ASSERT_TRUE(WaitUntil([&] { return isp->StatusPanelText(1) == "Detect Run HID"; }));
    }

    void TearDown() override {
        report.reset();
        desktop.reset();
        isp.reset();
        hidData.reset();
        progData.reset();
        device.reset();
        fakes.reset();
        other.reset();
        simbus::Bus::instance().reset();
        Spin(10);
    }

    std::size_t LogOfUpdateMode() const {
        std::size_t n = 0;
        for (const auto& e : device->Log())
            n += e.mode == Mode::Update ? 1 : 0;
        return n;
    }

    // Presses "Start Program " and waits for the run's end as the watch sees it.
    void Run() {
        isp->btnStartProgram->click();
        ASSERT_TRUE(WaitUntil([&] { return !ended_.empty(); }, 120000));
    }

    // After any end: the lock was taken before the first IAP packet and is let go, the
    // screensaver is given back, and the dock entry's progress rose and was cleared.
    void ExpectReleased(double progressReached) {
        ASSERT_TRUE(WaitUntil([&] { return fakes->Inhibitions().size() == 1; }, 30000));
        const Fakes::Inhibition i = fakes->Inhibitions()[0];
        EXPECT_EQ(i.what, "sleep:shutdown:handle-lid-switch");
        EXPECT_EQ(i.mode, "block");
        EXPECT_FALSE(i.who.isEmpty());
        EXPECT_TRUE(i.why.contains("half written")) << i.why.toStdString();
        EXPECT_EQ(i.iapPackets, 0u);
        EXPECT_TRUE(WaitUntil([&] { return fakes->AllLocksClosed(); }, 30000));
        EXPECT_TRUE(WaitUntil([&] { return fakes->ScreenSaverHeld() == 0; }, 30000));
        EXPECT_FALSE(desktop->Inhibitor().Wanted());

        ASSERT_TRUE(WaitUntil(
            [&] {
                const auto l = fakes->LauncherUpdates();
                return !l.empty() && !l.back().visible;
            },
            30000));
        const auto l = fakes->LauncherUpdates();
        double last = 0;
        for (std::size_t k = 0; k + 1 < l.size(); ++k) {
            EXPECT_TRUE(l[k].visible);
            EXPECT_GE(l[k].progress, last);
            last = l[k].progress;
        }
        EXPECT_GE(last, progressReached);
        EXPECT_FALSE(isp->pbProgress->isTextVisible());
    }

    void ExpectOneNotification(const QString& summary, const QString& body) {
        ASSERT_TRUE(WaitUntil([&] { return !fakes->Notifications().empty(); }, 30000));
        Spin(200);
        const auto n = fakes->Notifications();
        ASSERT_EQ(n.size(), 1u);
        EXPECT_EQ(n[0].summary, summary);
        EXPECT_EQ(n[0].body, body);
    }

    TraceFile trace_;  // outlives the window, whose worker writes to it
    std::unique_ptr<simdev::VeltoDevice> device;
    std::unique_ptr<Fakes> fakes;
    RecordingDialogs recorded;
    ObservedDialogs dialogs{&recorded};
    std::unique_ptr<TfmIsp> isp;
    std::unique_ptr<TfmHidData> hidData;
    std::unique_ptr<TfmProgData> progData;
    std::unique_ptr<DesktopIntegration> desktop;
    std::unique_ptr<SupportReport> report;
    std::unique_ptr<QWidget> other;

    const Bytes image_ = Pattern(56 * 40 + 48, 9);
    HexImage mcu_ = HexImage::Of(image_);
    std::vector<uint32_t> dsp_ = DspWords(6144, 3);
    std::vector<qint64> msLeft_;
    std::vector<RunPhase> phases_;
    std::vector<RunPhase> timedPhases_;
    int mcuDone_ = -1;
    RunProgress lastDsp_;
    QString barText_;
    bool shotTaken_ = false;
    std::vector<std::pair<bool, QString>> ended_;
};

TEST_F(Desktop, SuccessHoldsTheLockFromBeforeTheFirstWriteToTheEnd) {
    ASSERT_TRUE(fakes->Register());
    // Lines of an earlier run: the report keeps only the newest.
    for (int k = 0; k < 1000; ++k)
        trace_.Write(QStringLiteral("W 00  earlier"));
    QElapsedTimer clock;
    clock.start();
    Run();
    const qint64 runMs = clock.elapsed();
    ASSERT_EQ(ended_.size(), 1u);
    EXPECT_TRUE(ended_[0].first);
    EXPECT_EQ(ended_[0].second, kOk);
    EXPECT_EQ(recorded.Count(DialogSeam::Kind::Information, kOk), 1u);
    EXPECT_TRUE(device->FlashMatches(image_.data(), image_.size()));
    EXPECT_EQ(device->DspBlocksStored(), 769u);

    ExpectReleased(1.0);
    ExpectOneNotification(QStringLiteral("The device is updated"), kOk.trimmed());

    // The session went through every phase once, in order, and the time left followed it
    // (the observer's own run ends at " Program OK !! ", with the session's).
    const std::vector<RunPhase> run = {
        RunPhase::ModeSwitch, RunPhase::McuHandshake, RunPhase::McuStart,   RunPhase::McuData,
        RunPhase::McuReset,   RunPhase::ParamRead,    RunPhase::DspPrepare, RunPhase::DspProgram};
    std::vector<RunPhase> ended = run;
    ended.push_back(RunPhase::Idle);
    EXPECT_EQ(phases_, ended);
    EXPECT_EQ(timedPhases_, run);
    EXPECT_EQ(isp->Session().Progress().start, RunStart::FullRun);
    // The counts as numbers: the last of the 40 data packets (they count from 0), and every
    // DSP block.
    EXPECT_EQ(mcuDone_, 39);
    EXPECT_EQ(lastDsp_.done, 768);
    EXPECT_EQ(lastDsp_.total, 768);

    // The time left never grows, is a floor of what the run took, and was on the bar.
    ASSERT_FALSE(msLeft_.empty());
    for (std::size_t k = 1; k < msLeft_.size(); ++k)
        EXPECT_LE(msLeft_[k], msLeft_[k - 1]) << "at " << k;
    // Coarse timers may fire a little early.
    EXPECT_LE(msLeft_.front(), runMs * 11 / 10);
    EXPECT_GE(msLeft_.front(), TimeLeft::kStartPacketMs + 40 * TimeLeft::kDataPacketMs);
    EXPECT_TRUE(barText_.endsWith(" left")) << barText_.toStdString();

    // The report for support, saved through the service shortcut's entry.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("report.txt"));
    recorded.SetSaveFileName(path);
    report->SaveAction()->trigger();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    const auto has = [&](const QString& part) {
        EXPECT_TRUE(text.contains(part)) << part.toStdString() << "\n" << text.toStdString();
    };
    has(QStringLiteral("Qt: ") + QString::fromLatin1(qVersion()));
    has(QStringLiteral("kernel: ") + QSysInfo::kernelType());
    has(QStringLiteral("HID backend: "));
    has(QStringLiteral("unit 1: 0168:0821"));
    has(QStringLiteral("serial: \"SIM"));
    has(QStringLiteral("reported firmware version: "));
    has(QStringLiteral("phase: Detect Update HID | Mcu Programing"));
    has(QStringLiteral("phase: Detect Run HID | Dsp Progrmming"));
    has(QStringLiteral("dialog (information): \" Program OK !! \""));
    has(QStringLiteral("run ended: completed"));
    // The newest trace lines, the last one included; older ones are counted, not kept.
    qint64 dropped = 0;
    const std::deque<QString> tail = trace_.Tail(&dropped);
    ASSERT_EQ(tail.size(), TraceFile::kTailLines);
    EXPECT_GT(dropped, 0);
    has(QStringLiteral("== trace (the last 2000 lines; %1 earlier ones left out)").arg(dropped));
    EXPECT_TRUE(text.endsWith(tail.back() + QLatin1Char('\n')));
    EXPECT_EQ(text.count(QStringLiteral("W 00  earlier")), 1000 - dropped);
    EXPECT_FALSE(text.contains(QString::fromLocal8Bit(qgetenv("HOME"))));
}

TEST_F(Desktop, ErrorDialogLetsTheLockGo) {
    ASSERT_TRUE(fakes->Register());
    device->SetWrongSum(simdev::kIapData, 10);
    Run();
    ASSERT_EQ(ended_.size(), 1u);
    EXPECT_FALSE(ended_[0].first);
    EXPECT_EQ(ended_[0].second, QStringLiteral("Program Data Error !!"));
    EXPECT_EQ(timedPhases_.back(), RunPhase::McuData);
    EXPECT_EQ(phases_.back(), RunPhase::Idle);
    ExpectReleased(0.1);
    ExpectOneNotification(QStringLiteral("The update did not finish"),
                          QStringLiteral("Program Data Error !!"));
}

TEST_F(Desktop, UnplugLetsTheLockGo) {
    ASSERT_TRUE(fakes->Register());
    device->UnplugAtIapPacket(20);
    Run();
    ASSERT_EQ(ended_.size(), 1u);
    EXPECT_FALSE(ended_[0].first);
    EXPECT_TRUE(ended_[0].second.contains("stopped before its end"));
    EXPECT_EQ(timedPhases_.back(), RunPhase::McuData);
    EXPECT_EQ(phases_.back(), RunPhase::Idle);
    ExpectReleased(0.1);
    ExpectOneNotification(QStringLiteral("The update did not finish"), ended_[0].second);
}

TEST_F(Desktop, WithoutTheServicesTheRunIsTheSame) {
    QElapsedTimer clock;
    clock.start();
    Run();
    ASSERT_EQ(ended_.size(), 1u);
    EXPECT_TRUE(ended_[0].first);
    EXPECT_EQ(recorded.Count(), 1u);
    EXPECT_TRUE(device->FlashMatches(image_.data(), image_.size()));
    EXPECT_EQ(device->DspBlocksStored(), 769u);
    EXPECT_FALSE(desktop->Inhibitor().HoldsSleepLock());
    EXPECT_TRUE(fakes->Inhibitions().empty());
    // The dock's signal goes out whether or not a dock listens.
    EXPECT_TRUE(WaitUntil([&] {
        const auto l = fakes->LauncherUpdates();
        return !l.empty() && !l.back().visible;
    }));
}

}  // namespace
}  // namespace flowtest

#include "desktop_test.moc"
