// The device programs' common part: options, faults, the run and the final memory check.
#include "tools/device-tool/device_tool.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/memory_check.h"
#include "sim/velto_device.h"

namespace devtool {

namespace {

constexpr int kExitMatch = 0;
constexpr int kExitMismatch = 1;
constexpr int kExitSetup = 2;

// The options every device program takes, after its own usage text.
const char kUsage[] =
    "  --start-mode run|update     the mode it is plugged in with (default run)\n"
    "  --serial S                  its serial number in both modes (default SIM-VT0103-0001;\n"
    "                              the updater writes its placeholder images only to a serial\n"
    "                              that starts with SIM); 1 to 63 printable ASCII characters\n"
    "  --exit-after-end            stop by itself once the updater's end command arrived\n"
    "  --exit-after S              stop by itself after S seconds\n"
    "Faults:\n"
    "  --unplug-at-packet N        leave the bus instead of handling IAP packet N of an update\n"
    "                              session (0-based)\n"
    "  --unplug-at-block N         leave the bus instead of handling DSP block N\n"
    "  --replug-after MS           come back in the same mode MS ms after leaving (default:\n"
    "                              stay away until the program ends)\n"
    "  --wrong-sum BYTE0[:K]       a wrong sum in the answer to the K-th IAP packet (0-based)\n"
    "                              whose byte 0 is BYTE0 (0x.. or decimal; data packets: 0)\n"
    "  --drop-answer N             leave the N-th answer out (repeatable)\n"
    "  --silent-after N            send nothing once N output reports have arrived\n"
    "  --deaf-at MODE:CMD[:K]      fall silent, plugged in, at the K-th (0-based, over the\n"
    "                              device's life) report in MODE (run|update) whose command\n"
    "                              (framed command, or IAP byte 0) is CMD: no answer, no mode\n"
    "                              change, no repeat, for --deaf-for MS (default 2000)\n"
    "  --latency MS                answer MS ms late\n"
    "  --reenumeration-delay MS    time off the bus at each reset (default 250)\n"
    "  --repeat-interval MS        update mode repeats its latest answer every MS ms (default\n"
    "                              1; 0 sends each answer once)\n"
    "  --short-input               input reports lose their trailing zero bytes\n"
    "  --row-index N               report N as the parameter table's row index\n";

const char* gName = "";

volatile sig_atomic_t gStop = 0;
volatile sig_atomic_t gReport = 0;

void OnSignal(int signal) {
    if (signal == SIGUSR1) {
        gReport = 1;
        return;
    }
    gStop = 1;
}

void Log(const std::string& text) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::fprintf(stdout, "[%ld.%03ld] %s: %s\n", static_cast<long>(ts.tv_sec), ts.tv_nsec / 1000000,
                 gName, text.c_str());
    std::fflush(stdout);
}

}  // namespace

bool ParseNumber(std::string_view text, long long max, long long& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    long long v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (ec != std::errc() || end != text.data() + text.size() || v < 0 || v > max) return false;
    value = v;
    return true;
}

bool IsPlainName(std::string_view text) {
    return !text.empty() && text.size() <= 63 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

namespace {

struct Options {
    simdev::Mode startMode = simdev::Mode::Run;
    std::optional<std::string> serial;
    bool exitAfterEnd = false;
    long long exitAfterSeconds = 0;
    std::optional<int> unplugAtPacket;
    std::optional<int> unplugAtBlock;
    std::optional<std::chrono::milliseconds> replugAfter;
    std::vector<std::pair<uint8_t, int>> wrongSums;
    std::vector<int> dropAnswers;
    std::size_t silentAfter = 0;
    std::chrono::milliseconds latency{0};
    std::optional<std::chrono::milliseconds> reenumerationDelay;
    std::optional<std::chrono::milliseconds> repeatInterval;
    bool shortInput = false;
    std::optional<uint8_t> rowIndex;
    struct Deaf {
        simdev::Mode mode = simdev::Mode::Run;
        uint8_t command = 0;
        int occurrence = 0;
    };
    std::optional<Deaf> deafAt;
    std::chrono::milliseconds deafFor{2000};
};

// 0: parsed; 1: --help shown; 2: error shown.
int Parse(int argc, char** argv, const ToolSpec& spec, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool hasValue = false;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        auto takeValue = [&]() -> bool {
            if (hasValue) return true;
            if (i + 1 >= argc) return false;
            value = argv[++i];
            return true;
        };
        auto number = [&](long long max, long long& out) {
            return takeValue() && ParseNumber(value, max, out);
        };
        long long n = 0;
        bool ok = true;
        if (name == "--help" || name == "-h") {
            std::fputs(spec.usage, stdout);
            std::fputs(kUsage, stdout);
            return 1;
        } else if (name == "--start-mode") {
            ok = takeValue() && (value == "run" || value == "update");
            o.startMode = value == "update" ? simdev::Mode::Update : simdev::Mode::Run;
        } else if (name == "--serial") {
            ok = takeValue() && IsPlainName(value);
            o.serial = value;
        } else if (name == "--exit-after-end") {
            o.exitAfterEnd = true;
        } else if (name == "--exit-after") {
            ok = number(86400, o.exitAfterSeconds) && o.exitAfterSeconds > 0;
        } else if (name == "--unplug-at-packet") {
            ok = number(1000000, n);
            o.unplugAtPacket = static_cast<int>(n);
        } else if (name == "--unplug-at-block") {
            ok = number(65535, n);
            o.unplugAtBlock = static_cast<int>(n);
        } else if (name == "--replug-after") {
            ok = number(600000, n);
            o.replugAfter = std::chrono::milliseconds(n);
        } else if (name == "--wrong-sum") {
            ok = takeValue();
            const auto colon = value.find(':');
            long long k = 0;
            ok = ok && ParseNumber(std::string_view(value).substr(0, colon), 255, n) &&
                 (colon == std::string::npos ||
                  ParseNumber(std::string_view(value).substr(colon + 1), 1000000, k));
            o.wrongSums.emplace_back(static_cast<uint8_t>(n), static_cast<int>(k));
        } else if (name == "--deaf-at") {
            ok = takeValue();
            const auto first = value.find(':');
            const auto second = first == std::string::npos ? first : value.find(':', first + 1);
            const std::string mode = value.substr(0, first);
            long long k = 0;
            ok = ok && first != std::string::npos && (mode == "run" || mode == "update") &&
                 ParseNumber(std::string_view(value).substr(first + 1, second == std::string::npos
                                                                           ? std::string::npos
                                                                           : second - first - 1),
                             255, n) &&
                 (second == std::string::npos ||
                  ParseNumber(std::string_view(value).substr(second + 1), 1000000, k));
            o.deafAt = Options::Deaf{mode == "update" ? simdev::Mode::Update : simdev::Mode::Run,
                                     static_cast<uint8_t>(n), static_cast<int>(k)};
        } else if (name == "--deaf-for") {
            ok = number(600000, n);
            o.deafFor = std::chrono::milliseconds(n);
        } else if (name == "--drop-answer") {
            ok = number(10000000, n) && n > 0;
            o.dropAnswers.push_back(static_cast<int>(n));
        } else if (name == "--silent-after") {
            ok = number(10000000, n) && n > 0;
            o.silentAfter = static_cast<std::size_t>(n);
        } else if (name == "--latency") {
            ok = number(60000, n);
            o.latency = std::chrono::milliseconds(n);
        } else if (name == "--reenumeration-delay") {
            ok = number(60000, n);
            o.reenumerationDelay = std::chrono::milliseconds(n);
        } else if (name == "--repeat-interval") {
            ok = number(60000, n);
            o.repeatInterval = std::chrono::milliseconds(n);
        } else if (name == "--short-input") {
            o.shortInput = true;
        } else if (name == "--row-index") {
            ok = number(255, n);
            o.rowIndex = static_cast<uint8_t>(n);
        } else if (!spec.parseOption(
                       name, [&](std::string& out) { return takeValue() && (out = value, true); },
                       ok)) {
            std::fprintf(stderr, "%s: unknown option %s\n%s%s", gName, argv[i], spec.usage, kUsage);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "%s: bad or missing value for %s\n%s%s", gName, name.c_str(),
                         spec.usage, kUsage);
            return 2;
        }
    }
    return 0;
}

// The device's memories against the images, as the updater prepares them.
bool Verify(const simdev::VeltoDevice& device) {
    const simdev::MemoryCheck check = simdev::CheckMemories(device);
    char line[160];
    std::snprintf(line, sizeof line,
                  "flash: %s (image %d bytes; last programming announced %u, wrote %zu)",
                  check.flashOk ? "matches the image" : "MISMATCH", check.mcuImageLength,
                  device.AnnouncedLength(), device.FlashBytesWritten());
    Log(line);
    std::snprintf(line, sizeof line, "DSP memory: %s (image %d bytes; %zu blocks stored)",
                  check.dspOk ? "matches the image" : "MISMATCH", check.dspImageLength,
                  check.dspBlocksStored);
    Log(line);
    return check.Ok();
}

}  // namespace

int RunDeviceTool(int argc, char** argv, const ToolSpec& spec) {
    gName = spec.name;
    Options o;
    if (const int parsed = Parse(argc, argv, spec, o); parsed != 0)
        return parsed == 1 ? 0 : kExitSetup;

    // Signals are taken by this thread only: the port's and the model's threads start with
    // them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGUSR1, &sa, nullptr);

    PortSettings portOptions;
    portOptions.shortInput = o.shortInput;
    portOptions.silentAfterOutputs = o.silentAfter;
    portOptions.log = Log;
    std::optional<PortHandle> port = spec.openPort(portOptions);
    if (!port) return kExitSetup;
    simdev::DeviceOptions deviceOptions;
    if (o.serial) deviceOptions.serial = std::u16string(o.serial->begin(), o.serial->end());
    if (spec.deviceOptions) spec.deviceOptions(deviceOptions);
    auto device = std::make_unique<simdev::VeltoDevice>(port->port, deviceOptions);

    device->SetAnswerLatency(o.latency);
    if (o.reenumerationDelay) device->SetReenumerationDelay(*o.reenumerationDelay);
    if (o.repeatInterval) device->SetRepeatInterval(*o.repeatInterval);
    if (o.unplugAtPacket) device->UnplugAtIapPacket(*o.unplugAtPacket, o.replugAfter);
    if (o.unplugAtBlock) device->UnplugAtDspBlock(*o.unplugAtBlock, o.replugAfter);
    for (const auto& [byte0, k] : o.wrongSums)
        device->SetWrongSum(byte0, k);
    for (int nth : o.dropAnswers)
        device->DropAnswer(nth);
    if (o.rowIndex) device->SetReportedRowIndex(*o.rowIndex);
    if (o.deafAt)
        device->DeafAt(o.deafAt->mode, o.deafAt->command, o.deafAt->occurrence, o.deafFor);

    if (!device->PlugIn(o.startMode)) {
        std::fprintf(stderr, "%s: the kernel refused the device: %s\n", gName,
                     port->lastError().c_str());
        return kExitSetup;
    }

    const auto started = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> endSeen;
    sigset_t none;
    sigemptyset(&none);
    const timespec tick{0, 50 * 1000 * 1000};
    while (gStop == 0) {
        // Sleeps with the stop signals let through, so that one ends the wait at once.
        pselect(0, nullptr, nullptr, nullptr, &tick, &none);
        if (gReport != 0) {
            gReport = 0;
            Log("memories now (SIGUSR1):");
            Verify(*device);
        }
        const auto now = std::chrono::steady_clock::now();
        if (o.exitAfterSeconds > 0 && now - started >= std::chrono::seconds(o.exitAfterSeconds))
            break;
        if (o.exitAfterEnd && !endSeen &&
            device->CountReceived(simdev::Mode::Run, simdev::kCmdEnd) > 0)
            endSeen = now;
        // The updater closes the link after its last command: give it a moment.
        if (endSeen && now - *endSeen >= std::chrono::milliseconds(300)) break;
    }

    Log(gStop != 0 ? "stopping (signal)" : "stopping");
    const bool match = Verify(*device);
    std::string plugs = "plugged in:";
    for (const auto& [product, count] : port->plugCounts()) {
        char item[32];
        std::snprintf(item, sizeof item, " %04x x%d", product, count);
        plugs += item;
    }
    Log(plugs);
    Log(port->summary());
    device.reset();
    return match ? kExitMatch : kExitMismatch;
}

}  // namespace devtool
