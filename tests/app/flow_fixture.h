// Helpers for the update-flow tests: the main window and its diagnostic windows over the
// simulated bus, one simulated Velto device, recorded dialogs, the reports the window wrote,
// and small Intel HEX images made on the spot.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QString>
#include <QThread>
#include <QTimer>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/diag/report_log.h"
#include "app/dialogs.h"
#include "app/isp.h"
#include "firmware/dsp_image.h"
#include "firmware/mcu_image.h"
#include "platform/sim/sim_bus.h"
#include "sim/bus_port.h"
#include "sim/velto_device.h"
#include "tests/app/update_session_test_peer.h"
#include "tests/support/hex_record.h"
#include "tests/support/qt_wait.h"

namespace flowtest {

using simdev::Mode;
using Bytes = std::vector<uint8_t>;

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "flow_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

using qtwait::Spin;
using qtwait::WaitUntil;

// Deterministic bytes that are not all alike.
inline Bytes Pattern(std::size_t n, uint32_t seed = 1) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 12345u;
    for (auto& v : b) {
        x = x * 1103515245u + 12345u;
        v = static_cast<uint8_t>(x >> 16);
    }
    return b;
}

using testsupport::HexImage;

inline std::vector<uint32_t> DspWords(std::size_t n, uint32_t seed = 7) {
    const Bytes b = Pattern(n * 4, seed);
    std::vector<uint32_t> w(n);
    for (std::size_t i = 0; i < n; ++i) {
        w[i] = static_cast<uint32_t>(b[4 * i]) << 24 | static_cast<uint32_t>(b[4 * i + 1]) << 16 |
               static_cast<uint32_t>(b[4 * i + 2]) << 8 | b[4 * i + 3];
    }
    return w;
}

// The DSP buffer as the window prepares it (the zero tail included).
inline Bytes PreparedDsp(const std::vector<uint32_t>& words, int* length = nullptr) {
    Bytes buf(71680);
    const int n = PrepareDspBuffer(words.data(), words.size(), buf.data(), buf.size());
    if (length != nullptr) *length = n;
    return buf;
}

// Parses a HID log line ("W 00  10 02 ...") into its bytes after the report ID.
inline Bytes ParseLogLine(const QString& line) {
    Bytes out;
    const QByteArray s = line.toLatin1();
    for (qsizetype i = 6; i + 1 < s.size(); i += 3)
        out.push_back(static_cast<uint8_t>(s.mid(i, 2).toUInt(nullptr, 16)));
    return out;
}

class FlowFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        simbus::Bus::instance().reset();
        device = simdev::MakeDeviceOnBus();
        isp = std::make_unique<TfmIsp>(&dialogs);
        hidData = std::make_unique<TfmHidData>(isp.get());
        progData = std::make_unique<TfmProgData>(isp.get());
        isp->SetDiagnosticWindows(hidData.get(), progData.get());
        isp->SetReportTrace([this](const QString& line) {
            if (!line.startsWith(QLatin1Char('W'))) return;
            std::lock_guard<std::mutex> guard(writtenLock_);
            written_.push_back(ParseLogLine(line));
        });
        TfmIsp* window = isp.get();
        QObject::connect(window, &TfmIsp::StatusChanged, window, [this, window] {
            const QString t = window->StatusSimpleText();
            if (!t.isEmpty() && (texts.empty() || texts.back() != t)) texts.push_back(t);
            maxProgress = std::max(maxProgress, window->ProgressPosition());
        });
        isp->show();
        ASSERT_TRUE(device->PlugIn(Mode::Run));
        ASSERT_TRUE(WaitForPanel(QStringLiteral("Detect Run HID")));
    }

    void TearDown() override {
        if (HasFailure() && isp) {
            // Where the flow stood, for the failure report.
            std::string t;
            for (const auto& x : texts)
                t += "[" + x.toStdString() + "] ";
            std::string d;
            for (const auto& e : dialogs.Entries())
                d += "[" + e.text.toStdString() + "] ";
            if (t.size() > 1500) t = "..." + t.substr(t.size() - 1500);
            std::printf(
                "panel 1 \"%s\", Step %d, RunStage %d, device log %zu, AcceptInput %d, "
                "tmUsbWait %d, link busy %d, queued %zu\ntexts %s\ndialogs %s\n",
                isp->StatusPanelText(1).toStdString().c_str(), Peer().Step(),
                static_cast<int>(Peer().RunStage()), device->Log().size(), Peer().AcceptInput(),
                Peer().tmUsbWait()->isActive(), Peer().Proc() != nullptr && Peer().Proc()->IsBusy(),
                Peer().Proc() != nullptr ? Peer().Proc()->QueuedFrames() : 0, t.c_str(), d.c_str());
        }
        if (isp) QObject::disconnect(isp.get(), &TfmIsp::StatusChanged, nullptr, nullptr);
        isp.reset();
        hidData.reset();
        progData.reset();
        device.reset();
        simbus::Bus::instance().reset();
        Spin(10);
    }

    // The window's update session, as the tests may see it.
    UpdateSessionTestPeer Peer() { return UpdateSessionTestPeer(*isp); }

    bool WaitForPanel(const QString& text) {
        return WaitUntil([&] { return isp->StatusPanelText(1) == text; });
    }
    bool WaitForDialog(const QString& text) {
        return WaitUntil([&] { return DialogCount(text) > 0; });
    }
    // Every dialog a run showed. A device leaving at the update's resets is no read error:
    // a "READ ERROR: " here fails the run like any other unexpected dialog.
    std::vector<RecordingDialogs::Entry> FlowDialogs() const { return dialogs.Entries(); }
    std::size_t FlowDialogCount() const { return FlowDialogs().size(); }
    std::size_t DialogCount(const QString& text) const {
        std::size_t n = 0;
        for (const auto& e : dialogs.Entries())
            n += e.text == text ? 1 : 0;
        return n;
    }
    bool OkShown() const { return DialogCount(QStringLiteral(" Program OK !! ")) > 0; }

    // Small images for the window; they must outlive the run.
    void UseImages(HexImage& mcu, const std::vector<uint32_t>& dsp) {
        UpdateImages images;
        images.McuHexLines = mcu.Lines();
        images.McuHexLineCount = mcu.lines.size();
        images.DspWords = dsp.data();
        images.DspWordCount = dsp.size();
        isp->SetImages(images);
    }

    std::vector<Bytes> Written() const {
        std::lock_guard<std::mutex> guard(writtenLock_);
        return written_;
    }
    // The 64-byte IAP packets written (what the report holds of each 70-byte packet).
    std::vector<Bytes> IapPackets() const {
        std::vector<Bytes> out;
        for (const auto& w : Written())
            if (w.size() == 64 && !(w[0] == 0x10 && w[1] == 0x02)) out.push_back(w);
        return out;
    }
    std::vector<simdev::LogEntry> LogOf(Mode mode) const {
        std::vector<simdev::LogEntry> out;
        for (const auto& e : device->Log())
            if (e.mode == mode) out.push_back(e);
        return out;
    }

    RecordingDialogs dialogs;
    std::unique_ptr<simdev::VeltoDevice> device;
    std::unique_ptr<TfmIsp> isp;
    std::unique_ptr<TfmHidData> hidData;
    std::unique_ptr<TfmProgData> progData;
    std::vector<QString> texts;  // simple texts in the order shown (empty ones left out)
    int maxProgress = 0;

  private:
    mutable std::mutex writtenLock_;
    std::vector<Bytes> written_;
};

}  // namespace flowtest
