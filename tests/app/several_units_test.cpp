// Several units on one bus: the window takes only the unit chosen (or the one its run started
// on) through every restart of the update, and the runs of several units at once (--all,
// --loop) update each unit in a session of its own, JSON lines included.
#include <QComboBox>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPixmap>

#include <cstdio>
#include <cstdlib>

#include "app/command_line.h"
#include "app/json_lines.h"
#include "app/multi_unit_run.h"
#include "app/unit_chooser.h"
#include "tests/app/flow_fixture.h"

namespace flowtest {
namespace {

std::unique_ptr<simdev::VeltoDevice> UnitAt(int number) {
    simdev::DeviceOptions options;
    options.location = "1-" + std::to_string(number);
    options.serial = u"SIM-VT0103-000" + std::u16string(1, static_cast<char16_t>(u'0' + number));
    return simdev::MakeDeviceOnBus(simbus::Bus::instance(), options);
}

class SeveralUnits : public FlowFixture {
  protected:
    void SetUp() override {
        FlowFixture::SetUp();
        UseImages(mcu_, dsp_);
    }

    const Bytes image_ = Pattern(56 * 4 + 48, 9);
    HexImage mcu_ = HexImage::Of(image_);
    std::vector<uint32_t> dsp_ = DspWords(24);
};

TEST_F(SeveralUnits, TheWindowUpdatesTheChosenUnitOnlyAndKeepsToItThroughItsRestarts) {
    // A second unit joins the one held: it stays the choice, and the window says there are two.
    auto second = UnitAt(2);
    ASSERT_TRUE(second->PlugIn(Mode::Run));
    ASSERT_TRUE(WaitUntil([&] { return isp->Units().Present().size() == 2; }));
    EXPECT_FALSE(isp->UnitChoiceNeeded());
    EXPECT_TRUE(isp->Chooser()->isVisible());
    EXPECT_EQ(isp->Chooser()->List()->count(), 2);
    EXPECT_EQ(isp->Chooser()->List()->currentText(),
              QStringLiteral("1-1  run mode  serial SIM-VT0103-0001"));
    Spin(50);
    const QPixmap shot = isp->grab();
    EXPECT_EQ(shot.size(), QSize(415, 133 + UnitChooser::kRowHeight) * shot.devicePixelRatio());
    ASSERT_TRUE(QDir().mkpath(VELTO_ARTIFACT_DIR));
    EXPECT_TRUE(shot.save(QStringLiteral(VELTO_ARTIFACT_DIR "/main-window-two-units.png")));

    // The user picks the other one: the first goes back, the second is offered.
    emit isp->Chooser()->List()->activated(1);
    ASSERT_TRUE(WaitUntil([&] {
        return isp->Session().LastUnit() && isp->Session().LastUnit()->port == "1-2" &&
               isp->btnStartProgram->isEnabled();
    }));

    // A third unit is plugged in while the run restarts the chosen one: nothing changes hands.
    isp->btnStartProgram->click();
    EXPECT_FALSE(isp->Chooser()->List()->isEnabled());
    auto third = UnitAt(3);
    ASSERT_TRUE(third->PlugIn(Mode::Run));
    ASSERT_TRUE(WaitForDialog(QStringLiteral(" Program OK !! ")));
    EXPECT_EQ(FlowDialogCount(), 1u);
    EXPECT_TRUE(second->FlashMatches(image_.data(), image_.size()));
    EXPECT_GT(second->DspBlocksStored(), 0u);
    EXPECT_TRUE(device->Log().empty()) << "the unit not chosen was written to";
    EXPECT_TRUE(third->Log().empty()) << "a unit plugged in during the run was written to";
    ASSERT_TRUE(WaitUntil([&] { return isp->Chooser()->List()->isEnabled(); }));
    EXPECT_EQ(isp->Chooser()->List()->count(), 3);
}

TEST_F(SeveralUnits, WithoutAChoiceNothingIsTakenAndTheUnattendedRunRefuses) {
    // Two units before anything was held: the window waits for a choice.
    isp.reset();
    hidData.reset();
    progData.reset();
    auto second = UnitAt(2);
    ASSERT_TRUE(second->PlugIn(Mode::Update));
    isp = std::make_unique<TfmIsp>(&dialogs);
    UseImages(mcu_, dsp_);
    ASSERT_TRUE(WaitUntil([&] { return isp->Units().Present().size() == 2; }));
    EXPECT_TRUE(isp->UnitChoiceNeeded());
    EXPECT_EQ(isp->Session().Device(), nullptr);
    EXPECT_FALSE(isp->btnStartProgram->isEnabled());
    EXPECT_EQ(isp->Chooser()->List()->currentIndex(), -1);

    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* err = open_memstream(&buffer, &size);
    AutoRunSettings settings;
    settings.program = QStringLiteral("velto-update");
    AutoRunner runner(*isp, dialogs, settings, err, err);
    runner.Start();
    ASSERT_TRUE(WaitUntil([&] { return runner.Done(); }));
    std::fclose(err);
    const QString text = QString::fromLocal8Bit(buffer, static_cast<qsizetype>(size));
    std::free(buffer);
    EXPECT_EQ(runner.ExitCode(), exitcode::kSeveralUnits);
    EXPECT_TRUE(text.contains(QStringLiteral("1-2 update mode serial SIM-VT0103-0002")))
        << text.toStdString();
    EXPECT_TRUE(device->Log().empty());
    EXPECT_TRUE(second->Log().empty());

    // --serial picks one, also in update mode.
    isp->SetUnitRequest(UnitRequest{{}, "SIM-VT0103-0002"});
    ASSERT_TRUE(WaitForPanel(QStringLiteral("Detect Update HID")));
    EXPECT_EQ(isp->Session().LastUnit()->port, "1-2");
    EXPECT_FALSE(isp->Chooser()->List()->isEnabled());
}

// Runs of several units at once, with their output in memory.
class ManyUnits : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        simbus::Bus::instance().reset();
        for (int i = 1; i <= 3; ++i)
            units_.push_back(UnitAt(i));
        images_.McuHexLines = mcu_.Lines();
        images_.McuHexLineCount = mcu_.lines.size();
        images_.DspWords = dsp_.data();
        images_.DspWordCount = dsp_.size();
    }
    void TearDown() override {
        units_.clear();
        simbus::Bus::instance().reset();
        Spin(10);
    }

    // Runs to the end; the exit code. out gets the table, json the JSON lines.
    int Run(bool loop, int count, QString* out, QStringList* json) {
        char* outBuffer = nullptr;
        std::size_t outSize = 0;
        char* jsonBuffer = nullptr;
        std::size_t jsonSize = 0;
        std::FILE* outFile = open_memstream(&outBuffer, &outSize);
        std::FILE* jsonFile = open_memstream(&jsonBuffer, &jsonSize);
        int code = -1;
        {
            JsonLines lines(jsonFile);
            MultiRunSettings settings;
            settings.run.program = QStringLiteral("velto-update");
            settings.run.timeoutSeconds = 60;
            settings.run.reconnectWaitSeconds = 2;
            settings.loop = loop;
            settings.count = count;
            settings.images = images_;
            MultiUnitRun run(settings, outFile, outFile, &lines,
                             [](const UnitIdentity&) { return nullptr; }, {});
            QObject::connect(&run, &MultiUnitRun::Finished, [&](int c) { code = c; });
            run.Start();
            if (onStarted_) onStarted_();
            EXPECT_TRUE(WaitUntil([&] { return code >= 0; }, 120000));
        }
        std::fclose(outFile);
        std::fclose(jsonFile);
        *out = QString::fromLocal8Bit(outBuffer, static_cast<qsizetype>(outSize));
        *json = QString::fromUtf8(jsonBuffer, static_cast<qsizetype>(jsonSize))
                    .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        std::free(outBuffer);
        std::free(jsonBuffer);
        return code;
    }

    // The final record of each unit, by port; every line must be a JSON object.
    static std::map<QString, QJsonObject> Results(const QStringList& lines) {
        std::map<QString, QJsonObject> results;
        for (const QString& line : lines) {
            QJsonParseError error{};
            const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
            EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
            EXPECT_TRUE(doc.isObject());
            const QJsonObject o = doc.object();
            EXPECT_TRUE(o.contains(QStringLiteral("time")));
            if (o.value(QStringLiteral("event")) == QStringLiteral("result"))
                results[o.value(QStringLiteral("port")).toString()] = o;
        }
        return results;
    }

    bool Updated(int number) const {
        return units_[static_cast<std::size_t>(number - 1)]->FlashMatches(image_.data(),
                                                                          image_.size());
    }

    const Bytes image_ = Pattern(56 * 6 + 48, 11);
    HexImage mcu_ = HexImage::Of(image_);
    std::vector<uint32_t> dsp_ = DspWords(24);
    UpdateImages images_;
    std::vector<std::unique_ptr<simdev::VeltoDevice>> units_;
    std::function<void()> onStarted_;
};

TEST_F(ManyUnits, AllUpdatesEveryUnitAFailingOneStopsNoOtherAndASecondRunCompletesIt) {
    for (auto& unit : units_)
        ASSERT_TRUE(unit->PlugIn(Mode::Run));
    // The second unit is pulled out in the middle of its MCU data.
    units_[1]->UnplugAtIapPacket(12);

    QString out;
    QStringList json;
    EXPECT_EQ(Run(false, 0, &out, &json), exitcode::kErrorDialog) << out.toStdString();
    EXPECT_TRUE(Updated(1));
    EXPECT_FALSE(Updated(2));
    EXPECT_TRUE(Updated(3));
    EXPECT_TRUE(out.contains(QRegularExpression(QStringLiteral("\\n1-1 +SIM-VT0103-0001 +PASS "))))
        << out.toStdString();
    EXPECT_TRUE(
        out.contains(QRegularExpression(QStringLiteral("\\n1-2 +SIM-VT0103-0002 +FAIL 1 "))));
    const auto results = Results(json);
    ASSERT_EQ(results.size(), 3u);
    for (const auto& [port, record] : results) {
        const bool pass = port != QStringLiteral("1-2");
        EXPECT_EQ(record.value(QStringLiteral("result")).toString(),
                  pass ? QStringLiteral("pass") : QStringLiteral("fail"));
        EXPECT_EQ(record.value(QStringLiteral("exit")).toInt(), pass ? 0 : 1);
        EXPECT_TRUE(record.value(QStringLiteral("serial")).toString().startsWith(u"SIM-VT0103-"));
        EXPECT_EQ(record.value(QStringLiteral("firmware_version")).toString(),
                  QStringLiteral("0x13"));
        EXPECT_TRUE(record.value(QStringLiteral("mcu_image")).toString().startsWith(u"sha256:"));
        EXPECT_TRUE(record.value(QStringLiteral("dsp_image")).toString().startsWith(u"sha256:"));
        EXPECT_GT(record.value(QStringLiteral("seconds")).toDouble(), 0.0);
    }
    EXPECT_TRUE(json.last().contains(QStringLiteral("\"event\":\"summary\"")));

    // Plugged in again, it is in update mode: the next run finishes it.
    units_[1]->ClearFaults();
    ASSERT_TRUE(units_[1]->PlugIn(Mode::Update));
    EXPECT_EQ(Run(false, 0, &out, &json), exitcode::kOk) << out.toStdString();
    EXPECT_TRUE(Updated(2));
    EXPECT_EQ(Results(json).size(), 3u);
}

TEST_F(ManyUnits, LoopTakesEachUnitAsItComesAndStopsAfterItsCount) {
    ASSERT_TRUE(units_[0]->PlugIn(Mode::Run));
    // The second unit comes a moment later, the third not before the count is reached.
    onStarted_ = [this] {
        QTimer::singleShot(300, [this] { ASSERT_TRUE(units_[1]->PlugIn(Mode::Run)); });
    };
    QString out;
    QStringList json;
    EXPECT_EQ(Run(true, 2, &out, &json), exitcode::kOk) << out.toStdString();
    EXPECT_TRUE(Updated(1));
    EXPECT_TRUE(Updated(2));
    EXPECT_TRUE(out.contains(QStringLiteral("unit 2 of 2: 1-2 (serial SIM-VT0103-0002)")));
    EXPECT_TRUE(out.contains(QStringLiteral("2 of 2 done")));
    EXPECT_EQ(Results(json).size(), 2u);
}

}  // namespace
}  // namespace flowtest
