// The HID log window under a device that talks a thousand reports a second: the cost on the
// UI thread of one 50 ms batch (50 lines), laid out and painted, with the list filling up
// and with it full (the oldest lines dropped). The batch must cost far less than the 50 ms it
// stands for, or the UI thread falls behind the device.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCoreApplication>
#include <QListView>
#include <QString>

#include <array>
#include <cstdint>

#include "app/diag/hid_data.h"
#include "app/diag/report_log.h"
#include "app/isp.h"

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "hid_log_bench";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

QString Report(int i) {
    std::array<uint8_t, 64> bytes{};
    for (std::size_t k = 0; k < bytes.size(); ++k)
        bytes[k] = static_cast<uint8_t>(i * 7 + static_cast<int>(k));
    return ReportLog::FormatReportLine('R', 0, bytes.data(), bytes.size());
}

// Arg: 0 = the list starts empty, 1 = the list starts full.
void BM_HidLogBatchOf50(benchmark::State& state) {
    App();
    TfmHidData window;
    window.show();
    QCoreApplication::processEvents();
    int n = 0;
    if (state.range(0) == 1) {
        for (int i = 0; i < TfmHidData::kCapacity; ++i)
            window.AddLine(Report(n++));
        window.Flush();
        QCoreApplication::processEvents();
    }
    for (auto _ : state) {
        for (int i = 0; i < 50; ++i)
            window.AddLine(Report(n++));
        window.Flush();
        window.hbHidData->repaint();
        QCoreApplication::processEvents();
    }
    state.counters["lines"] = window.LineCount();
    state.counters["dropped"] = static_cast<double>(window.DroppedCount());
    state.counters["reports/s"] = benchmark::Counter(50.0 * static_cast<double>(state.iterations()),
                                                     benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HidLogBatchOf50)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
