// One full update with the embedded images on the simulated device, timed phase by phase.
// Each phase is set beside its floor: the waits the timers impose and the device's own delays
// (re-enumeration; answer latency, 0 by default). What a phase takes beyond its floor is the
// cost of the program and of the simulated bus.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/dialogs.h"
#include "app/isp.h"
#include "firmware/images.h"
#include "firmware/mcu_image.h"
#include "platform/sim/sim_bus.h"
#include "sim/bus_port.h"
#include "sim/velto_device.h"
#include "tests/app/update_session_test_peer.h"
#include "tests/support/qt_wait.h"

namespace {

struct Mark {
    std::string text;
    double ms;
};

struct Phase {
    const char* name;
    const char* from;  // simple text that opens the phase ("" = the press of the button)
    const char* to;    // simple text that closes it ("OK" = the end dialog)
    double floorMs;
};

using qtwait::WaitUntil;

// Floors of the data phase: after each data packet the window waits 20 ms while more than one
// packet's worth is left, else 200 ms.
double DataPhaseFloor(int length, int* packets) {
    int sendPos = 48;
    double ms = 0;
    int n = 0;
    do {
        sendPos += sendPos < length - 56 ? 56 : std::max(0, length - sendPos);
        ms += sendPos + 56 < length ? 20 : 200;
        ++n;
    } while (sendPos < length);
    *packets = n;
    return ms;
}

double FirstOf(const std::vector<Mark>& marks, const std::string& prefix, bool last = false) {
    double found = -1;
    for (const Mark& m : marks) {
        if (m.text.rfind(prefix, 0) == 0) {
            found = m.ms;
            if (!last) break;
        }
    }
    return found;
}

void BM_FullRun(benchmark::State& state) {
    static int argc = 1;
    static char name[] = "app_full_run_bench";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    (void)app;

    std::vector<uint8_t> buffer(71680);
    const McuImage image =
        ::PrepareMcuImage(kMcuHexLines, kMcuHexLineCount, buffer.data(), kMcuImageSize);
    int dataPackets = 0;
    const double dataFloor = DataPhaseFloor(image.ImageLength, &dataPackets);
    const double reenum = static_cast<double>(simdev::kDefaultReenumerationDelay.count());
    // tmMcuProg looks every 100 ms from the press: the first look after the device is back.
    const double firstLook = (static_cast<int>(reenum) / 100 + 1) * 100.0;
    const std::vector<Phase> phases = {
        {"into update mode", "", "Connect", firstLook},
        {"IAP steps 2-7", "Connect", "Start Program", 6 * 20.0},
        {"start packet", "Start Program", "Mcu Programing 0", 1000.0},
        {"data packets", "Mcu Programing 0", "MCU Reset", dataFloor},
        {"back in run mode", "MCU Reset", "Parameter Data", reenum},
        {"parameter read", "Parameter Data", "Dsp Program", 100.0},
        {"DSP preparation", "Dsp Program", "Dsp Progrmming 0", 100.0},
        {"DSP blocks", "Dsp Progrmming 0", "Dsp Progrmming 768", 0.0},
        {"end of run", "Dsp Progrmming 768", "OK", 100.0},
    };

    for (auto _ : state) {
        simbus::Bus::instance().reset();
        auto device = simdev::MakeDeviceOnBus();
        RecordingDialogs dialogs;
        auto isp = std::make_unique<TfmIsp>(&dialogs);
        QElapsedTimer clock;
        std::vector<Mark> marks;
        bool ok = false;
        QObject::connect(isp.get(), &TfmIsp::StatusChanged, isp.get(), [&] {
            const std::string t = isp->StatusSimpleText().toStdString();
            if (clock.isValid() && (marks.empty() || marks.back().text != t))
                marks.push_back({t, static_cast<double>(clock.nsecsElapsed()) / 1e6});
        });
        // When the pacing timer releases each answer: splits the data phase's overhead into
        // the timer's lateness and the road of the answer from the device to the window.
        std::vector<double> fires;
        QObject::connect(UpdateSessionTestPeer(*isp).tmUsbWait(), &QTimer::timeout, isp.get(), [&] {
            if (clock.isValid()) fires.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        });
        dialogs.SetOnShow([&](const RecordingDialogs::Entry& e) {
            if (e.text == QStringLiteral(" Program OK !! ")) {
                ok = true;
                marks.push_back({"OK", static_cast<double>(clock.nsecsElapsed()) / 1e6});
            }
        });
        device->PlugIn(simdev::Mode::Run);
        if (!WaitUntil([&] { return isp->btnStartProgram->isEnabled(); }, 20000)) {
            state.SkipWithError("device not detected");
            break;
        }
        clock.start();
        isp->btnStartProgram->click();
        const auto failed = [&] {
            for (const auto& e : dialogs.Entries())
                if (e.kind == DialogSeam::Kind::Error) return true;
            return false;
        };
        if (!WaitUntil([&] { return ok || failed(); }, 240000) || !ok) {
            state.SkipWithError("the run did not end in \" Program OK !! \"");
            break;
        }
        const double total = marks.back().ms;
        state.SetIterationTime(total / 1000.0);

        double floorTotal = 0;
        std::printf("\n%-18s %10s %10s %10s\n", "phase", "ms", "floor ms", "over ms");
        for (const Phase& p : phases) {
            const double from = *p.from == 0 ? 0.0 : FirstOf(marks, p.from);
            const double to = FirstOf(marks, p.to);
            floorTotal += p.floorMs;
            std::printf("%-18s %10.1f %10.1f %10.1f\n", p.name, to - from, p.floorMs,
                        to - from - p.floorMs);
        }
        const double over = (total / floorTotal - 1.0) * 100.0;
        std::printf("%-18s %10.1f %10.1f %10.1f  (%+.2f%%)\n", "total", total, floorTotal,
                    total - floorTotal, over);
        std::printf("IAP packets answered after a wait: %d; overhead per packet %.2f ms\n",
                    8 + dataPackets,
                    (FirstOf(marks, "MCU Reset") - FirstOf(marks, "Connect") -
                     (6 * 20.0 + 1000.0 + dataFloor)) /
                        (7 + dataPackets));
        // Each 20 ms data packet beside its wait; those whose answer the pacing timer's own
        // tick released split into the tick's lateness and the answer's road to the next
        // packet (the others were taken by the first report after the wait).
        double overAll = 0, late = 0, road = 0;
        int packets20 = 0, counted = 0;
        std::size_t f = 0;
        for (std::size_t i = 0; i + 1 < marks.size(); ++i) {
            if (marks[i].text.rfind("Mcu Programing ", 0) != 0) continue;
            if (marks[i + 1].text.rfind("Mcu Programing ", 0) != 0) continue;
            const double gap = marks[i + 1].ms - marks[i].ms;
            if (gap > 100) continue;  // the 200 ms packets at the end
            overAll += gap - 20.0;
            ++packets20;
            while (f < fires.size() && fires[f] < marks[i].ms)
                ++f;
            if (f >= fires.size() || fires[f] > marks[i + 1].ms) continue;
            late += fires[f] - marks[i].ms - 20.0;
            road += marks[i + 1].ms - fires[f];
            ++counted;
        }
        if (packets20 > 0) {
            std::printf("20 ms data packets: %d; per packet %.2f ms over the wait\n", packets20,
                        overAll / packets20);
        }
        if (counted > 0) {
            std::printf(
                "  %d released by the timer's tick: timer late %.2f ms, answer taken "
                "and next packet queued %.2f ms after the timer\n",
                counted, late / counted, road / counted);
        }
        state.counters["wall_ms"] = total;
        state.counters["floor_ms"] = floorTotal;
        state.counters["over_pct"] = over;

        isp.reset();
        device.reset();
        simbus::Bus::instance().reset();
    }
}

BENCHMARK(BM_FullRun)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
