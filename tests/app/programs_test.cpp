// The three programs as a user starts them: without a display, with bad options, without their
// backend module, and velto-update-sim's whole unattended update.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

namespace {

struct Result {
    int exitCode = -1;
    QString out;
    QString err;
};

// No display of any kind: what --help, --version and a bad option must do without one.
QProcessEnvironment Headless() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    return env;
}

Result Start(const QString& program, const QStringList& args,
             const QProcessEnvironment& env = Headless(), int timeoutMs = 60000) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    Result r;
    if (!p.waitForFinished(timeoutMs) || p.exitStatus() != QProcess::NormalExit) {
        p.kill();
        p.waitForFinished();
        ADD_FAILURE() << program.toStdString() << " did not end normally";
        return r;
    }
    r.exitCode = p.exitCode();
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

const QString kUpdate = QStringLiteral(VELTO_UPDATE);
const QString kSim = QStringLiteral(VELTO_UPDATE_SIM);
const QString kList = QStringLiteral(VELTO_HID_LIST);

TEST(Programs, HelpVersionAndBadOptionsNeedNoDisplay) {
    for (const QString& program : {kUpdate, kSim, kList}) {
        const QString name = QFileInfo(program).fileName();
        SCOPED_TRACE(name.toStdString());
        const Result help = Start(program, {"--help"});
        EXPECT_EQ(help.exitCode, 0) << help.err.toStdString();
        EXPECT_TRUE(help.out.startsWith("Usage: " + name + " [options]")) << help.out.toStdString();
        const Result version = Start(program, {"-v"});
        EXPECT_EQ(version.exitCode, 0);
        EXPECT_TRUE(version.out.startsWith(name + " 1.")) << version.out.toStdString();
        const Result bad = Start(program, {"--no-such-option"});
        EXPECT_EQ(bad.exitCode, 2);
        EXPECT_TRUE(bad.out.isEmpty());
        EXPECT_TRUE(bad.err.contains("Usage: " + name)) << bad.err.toStdString();
    }
    const Result range = Start(kUpdate, {"--auto", "--timeout=100000"});
    EXPECT_EQ(range.exitCode, 2);
    const Result file = Start(kSim, {"--auto", "--trace", "/nonexistent-dir/trace.txt"});
    EXPECT_EQ(file.exitCode, 2);
    EXPECT_TRUE(file.err.contains("/nonexistent-dir/trace.txt: No such file or directory"))
        << file.err.toStdString();
}

TEST(Programs, MissingBackendModuleIsNamedNotShownAsNoDevice) {
    // The loader finds this broken module before the real one.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile broken(dir.filePath("libvelto-hid-hidraw.so"));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.close();
    QProcessEnvironment env = Headless();
    env.insert("LD_LIBRARY_PATH", dir.path());

    const Result update = Start(kUpdate, {"--auto", "--timeout", "20"}, env);
    EXPECT_EQ(update.exitCode, 5) << update.out.toStdString();
    EXPECT_TRUE(update.err.contains("libvelto-hid-hidraw.so cannot be loaded"))
        << update.err.toStdString();
    EXPECT_TRUE(update.out.contains("No HID backend")) << update.out.toStdString();
    const Result list = Start(kList, {}, env);
    EXPECT_EQ(list.exitCode, 5);
    EXPECT_TRUE(list.err.contains("file too short")) << list.err.toStdString();
}

TEST(Programs, SimulatedUpdaterGivesUpAtItsTimeout) {
    const Result r = Start(kSim, {"--auto", "--timeout", "1"});
    EXPECT_EQ(r.exitCode, 3) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("FAIL: no end within 1 s")) << r.out.toStdString();
}

TEST(Programs, SimulatedUpdaterRunsTheWholeUpdateUnattended) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString trace = dir.filePath("trace.txt");
    const Result r = Start(kSim, {"--auto", "--trace=" + trace}, Headless(), 240000);
    ASSERT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());
    // Said first, and on the result.
    EXPECT_TRUE(lines.first().contains("SIMULATED device")) << r.out.toStdString();
    EXPECT_TRUE(lines.last().contains("PASS: Program OK, memories match [simulated device]"))
        << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("flash: matches the image"));
    EXPECT_TRUE(r.out.contains("DSP memory: matches the image (24580 bytes, 769 blocks)"));
    // To a pipe: phase changes and every 10 %, not every one of the 769 blocks.
    EXPECT_LT(lines.size(), 80) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("block 384/768 | 50 %"));
    EXPECT_FALSE(r.out.contains('\r'));
    QFile f(trace);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray t = f.readAll();
    EXPECT_GT(t.count('\n'), 1800);  // every packet and block out and back
    EXPECT_TRUE(t.startsWith("W 00  "));
}

}  // namespace
