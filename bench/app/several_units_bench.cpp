// Several units updated at once (--all) against one unit alone: the same whole update with the
// embedded images on 1 and on 4 simulated units in one process. The goal: four units take at
// most 1.10 times as long as one. Prints the wall time, the CPU time per unit and the peak
// resident memory of each.
#include <benchmark/benchmark.h>

#include <QApplication>

#include <sys/resource.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/multi_unit_run.h"
#include "platform/sim/sim_bus.h"
#include "sim/bus_port.h"
#include "sim/velto_device.h"
#include "tests/support/qt_wait.h"

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "several_units_bench";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double oneUnitSeconds = 0;

void BM_AllUnits(benchmark::State& state) {
    App();
    const int units = static_cast<int>(state.range(0));
    for (auto _ : state) {
        simbus::Bus::instance().reset();
        std::vector<std::unique_ptr<simdev::VeltoDevice>> devices;
        for (int i = 1; i <= units; ++i) {
            simdev::DeviceOptions options;
            options.location = "1-" + std::to_string(i);
            options.serial = u"SIM-VT0103-000" + std::u16string(1, static_cast<char16_t>(u'0' + i));
            devices.push_back(simdev::MakeDeviceOnBus(simbus::Bus::instance(), options));
            devices.back()->PlugIn(simdev::Mode::Run);
        }
        std::FILE* sink = std::fopen("/dev/null", "w");
        MultiRunSettings settings;
        settings.run.program = QStringLiteral("velto-update-sim");
        settings.run.simulated = true;
        const double cpuBefore = CpuSeconds();
        QElapsedTimer wall;
        wall.start();
        int code = -1;
        {
            MultiUnitRun run(settings, sink, sink, nullptr, {}, {});
            QObject::connect(&run, &MultiUnitRun::Finished, [&](int c) { code = c; });
            run.Start();
            qtwait::WaitUntil([&] { return code >= 0; }, 180000);
        }
        const double seconds = static_cast<double>(wall.elapsed()) / 1000.0;
        const double cpu = CpuSeconds() - cpuBefore;
        std::fclose(sink);
        if (code != 0) state.SkipWithError("a unit did not pass");
        if (units == 1) oneUnitSeconds = seconds;
        state.counters["wall_s"] = seconds;
        state.counters["cpu_s_per_unit"] = cpu / units;
        state.counters["peak_rss_MiB"] = static_cast<double>(PeakRssKiB()) / 1024.0;
        if (units > 1 && oneUnitSeconds > 0) {
            state.counters["x_one_unit"] = seconds / oneUnitSeconds;
            std::printf("%d units: %.2f s, %.3f x one unit (goal <= 1.10), %.2f s CPU per unit\n",
                        units, seconds, seconds / oneUnitSeconds, cpu / units);
        }
        devices.clear();
        simbus::Bus::instance().reset();
    }
}
BENCHMARK(BM_AllUnits)->Arg(1)->Arg(4)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
