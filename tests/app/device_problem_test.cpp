// A device that is there but may not be updated: the window says why in words, offers no
// "Start Program ", writes nothing, and updates the device once the obstacle is gone.
#include <QDir>
#include <QLabel>
#include <QPushButton>

#include <memory>
#include <string>
#include <vector>

#include "firmware/images.h"
#include "tests/app/flow_fixture.h"

namespace flowtest {
namespace {

class DeviceProblem : public FlowFixture {
  protected:
    // Replaces the fixture's device with one whose bus port the test holds, not yet plugged.
    void NewDevice(simdev::DeviceOptions options = {}) {
        device.reset();
        ASSERT_TRUE(WaitForPanel(QStringLiteral("No Device")));
        port = std::make_shared<simdev::BusPort>();
        device = std::make_unique<simdev::VeltoDevice>(port, std::move(options));
    }
    bool Offered() const {
        return isp->StatusPanelText(1) == QStringLiteral("Detect Run HID") &&
               isp->btnStartProgram->isEnabled() && isp->DeviceProblem().isEmpty();
    }
    // Presses "Start Program " and waits for the end; the device must hold both images.
    void UpdateAndCheck(const Bytes& image, HexImage& hex, const std::vector<uint32_t>& words) {
        UseImages(hex, words);
        isp->btnStartProgram->click();
        ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));
        EXPECT_EQ(FlowDialogCount(), 1u);
        EXPECT_TRUE(device->FlashMatches(image.data(), image.size()));
        const Bytes dsp = PreparedDsp(words);
        EXPECT_TRUE(device->DspMatches(dsp.data(), simdev::kDspMemorySize));
    }

    std::shared_ptr<simdev::BusPort> port;
};

struct Obstacle {
    const char* name;
    bool otherProgram;  // else: no permission to open the node for reading and writing
};

class DeviceNotOpenable : public DeviceProblem, public ::testing::WithParamInterface<Obstacle> {
  protected:
    void Set(bool on) {
        auto& bus = simbus::Bus::instance();
        if (GetParam().otherProgram) {
            bus.setHeldByOtherProgram(port->Id(), on);
        } else {
            bus.setAccessDenied(port->Id(), on);
        }
    }
};

TEST_P(DeviceNotOpenable, IsNamedInWordsAndUpdatedOnceItCanBeOpened) {
    NewDevice();
    int signalled = 0;
    QObject::connect(isp.get(), &TfmIsp::StatusChanged, isp.get(), [&] { ++signalled; });
    // The obstacle is there before the window hears of the device.
    ASSERT_TRUE(device->PlugIn(Mode::Run));
    Set(true);
    ASSERT_TRUE(WaitUntil([&] { return !isp->DeviceProblem().isEmpty(); }));
    Spin(200);

    QString problem = isp->DeviceProblem();
    const QString path = QString::fromStdString(simbus::Bus::instance().devicePath(port->Id()));
    EXPECT_TRUE(problem.contains(path)) << problem.toStdString();
    if (GetParam().otherProgram) {
        EXPECT_TRUE(problem.startsWith(QStringLiteral("Another program is updating this device")))
            << problem.toStdString();
    } else {
        // udev may still be on its way: the advice comes once its time has run out.
        EXPECT_TRUE(problem.startsWith(QStringLiteral("Waiting for access to ") + path))
            << problem.toStdString();
        ASSERT_TRUE(WaitUntil(
            [&] { return isp->DeviceProblem().contains(QStringLiteral("udev rule")); }, 15000));
        problem = isp->DeviceProblem();
        EXPECT_TRUE(problem.contains(path)) << problem.toStdString();
        EXPECT_TRUE(problem.contains(QStringLiteral("cannot be opened for reading and writing")))
            << problem.toStdString();
        EXPECT_TRUE(problem.contains(QStringLiteral("70-velto-update.rules")))
            << problem.toStdString();
    }
    EXPECT_GT(signalled, 0);
    EXPECT_EQ(isp->lbProblem->text(), problem);
    EXPECT_TRUE(isp->lbProblem->isVisible());
    EXPECT_FALSE(isp->lbHidShow->isVisible());
    EXPECT_EQ(Peer().HidDevice(), nullptr) << "a device it cannot write to is not taken";
    EXPECT_FALSE(isp->btnStartProgram->isEnabled());
    EXPECT_EQ(FlowDialogCount(), 0u) << "no read error either";
    // For a look at the words in the window.
    ASSERT_TRUE(QDir().mkpath(VELTO_ARTIFACT_DIR));
    EXPECT_TRUE(isp->grab().save(QStringLiteral(VELTO_ARTIFACT_DIR "/main-window-") +
                                 QString::fromLatin1(GetParam().name) + QStringLiteral(".png")));

    // The obstacle goes (a udev rule applied, the other program done): the device is taken,
    // and it updates.
    Set(false);
    ASSERT_TRUE(WaitUntil([&] { return Offered(); }));
    EXPECT_FALSE(isp->lbProblem->isVisible());
    EXPECT_TRUE(isp->lbHidShow->isVisible());
    const Bytes image = Pattern(56 * 2 + 48, 61);
    HexImage hex = HexImage::Of(image);
    UpdateAndCheck(image, hex, DspWords(16, 62));
}

INSTANTIATE_TEST_SUITE_P(Obstacles, DeviceNotOpenable,
                         ::testing::Values(Obstacle{"NoPermission", false},
                                           Obstacle{"OtherProgram", true}),
                         [](const ::testing::TestParamInfo<Obstacle>& p) {
                             return std::string(p.param.name);
                         });

TEST_F(DeviceProblem, PlaceholderImagesAreNeverWrittenToARealDevice) {
    // Only a build with the placeholders has them to refuse.
    if (!kMcuImageIsPlaceholder || !kDspImageIsPlaceholder)
        GTEST_SKIP() << "built with the product's images";
    simdev::DeviceOptions real;
    real.serial = u"VT0103-0001";
    NewDevice(real);
    ASSERT_TRUE(device->PlugIn(Mode::Run));
    ASSERT_TRUE(WaitForPanel(QStringLiteral("Detect Run HID")));
    EXPECT_TRUE(isp->DeviceProblem().startsWith(
        QStringLiteral("This build carries placeholder images, not the product's firmware")))
        << isp->DeviceProblem().toStdString();
    EXPECT_FALSE(isp->btnStartProgram->isEnabled());
    ASSERT_TRUE(QDir().mkpath(VELTO_ARTIFACT_DIR));
    EXPECT_TRUE(
        isp->grab().save(QStringLiteral(VELTO_ARTIFACT_DIR "/main-window-Placeholder.png")));

    // Not through any button either, nor in update mode.
    for (QPushButton* b : {isp->bnMcuProgram, isp->bnSecurity, isp->bnDspPorgram})
        b->click();
    Spin(400);
    ASSERT_TRUE(device->PlugIn(Mode::Update));
    ASSERT_TRUE(WaitForPanel(QStringLiteral("Detect Update HID")));
    EXPECT_FALSE(isp->btnStartProgram->isEnabled());
    isp->bnMcuProgram->click();
    Spin(400);
    EXPECT_TRUE(device->Log().empty());
    EXPECT_TRUE(Written().empty());
    EXPECT_FALSE(isp->StatusIsRed());

    // With the product's images (here: the test's own) the same device is updated.
    ASSERT_TRUE(device->PlugIn(Mode::Run));
    ASSERT_TRUE(WaitForPanel(QStringLiteral("Detect Run HID")));
    const Bytes image = Pattern(56 * 2 + 48, 63);
    HexImage hex = HexImage::Of(image);
    const std::vector<uint32_t> words = DspWords(16, 64);
    UseImages(hex, words);
    ASSERT_TRUE(WaitUntil([&] { return Offered(); }));
    UpdateAndCheck(image, hex, words);
}

}  // namespace
}  // namespace flowtest
