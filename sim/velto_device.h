// A model of the Velto signal processor's own firmware, attached to a host through a
// DevicePort. In run mode it answers framed commands, serves its parameter table and stores
// DSP program blocks; in update mode it takes IAP packets into its microcontroller flash.
// Mode changes leave the bus and come back after a re-enumeration delay, as the real device
// does. Its memories, a log of everything it received and a set of faults are open to tests.
//
// Threads: output reports are handled on the host's writer thread; every call into the port
// (plug, unplug, input reports) is made by one internal timer thread, never with the device's
// lock held. All public members are thread-safe.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/device_port.h"

namespace simdev {

enum class Mode { Run, Update };

inline constexpr uint16_t kVendorId = 0x0168;
inline constexpr uint16_t kRunProductId = 0x0821;
inline constexpr uint16_t kUpdateProductId = 0x0904;
inline constexpr uint16_t kDeviceVersion = 0x0103;

inline constexpr std::size_t kReportSize = 64;  // input and output reports, without the ID
inline constexpr uint8_t kDeviceAddress = 1;
inline constexpr uint8_t kHostAddress = 0;

// Microcontroller flash. Erasing sets every byte to kFlashErased, as NOR flash reads after an
// erase; bytes the image does not cover therefore stay 0xFF.
inline constexpr std::size_t kFlashSize = 0x11000;
inline constexpr uint8_t kFlashErased = 0xFF;

inline constexpr std::size_t kDspBlockSize = 32;
inline constexpr std::size_t kDspBlockCount = 769;
inline constexpr std::size_t kDspMemorySize = kDspBlockSize * kDspBlockCount;

inline constexpr std::size_t kParamBlockSize = 50;
inline constexpr std::size_t kParamBlockCount = 11;  // blocks 0..10; block 10 holds 16 bytes
inline constexpr std::size_t kParamTableSize = 516;
inline constexpr uint8_t kMaxRowIndex = 31;

// Framed command bytes the device knows by name.
inline constexpr uint8_t kCmdOpen = 0x10;
inline constexpr uint8_t kCmdIapReset = 0x08;
inline constexpr uint8_t kCmdParamRead = 0xA8;
inline constexpr uint8_t kCmdDspBlock = 0x53;
inline constexpr uint8_t kCmdPoll = 0x12;
inline constexpr uint8_t kCmdEnd = 0x04;
inline constexpr uint8_t kCmdParamUnlock = 0x1A;

// IAP packet byte 0 values.
inline constexpr uint8_t kIapData = 0x00;
inline constexpr uint8_t kIapConnect = 0x80;
inline constexpr uint8_t kIapSync = 0x81;
inline constexpr uint8_t kIapVersion = 0x82;
inline constexpr uint8_t kIapDeviceId = 0x83;
inline constexpr uint8_t kIapConfig = 0x84;
inline constexpr uint8_t kIapStart = 0x85;
inline constexpr uint8_t kIapReset = 0x86;
inline constexpr uint8_t kIapErase = 0x88;

inline constexpr std::size_t kIapStartBytes = 48;  // image bytes in the start packet
inline constexpr std::size_t kIapDataBytes = 56;   // image bytes in a data packet

// Kept short so that a whole update runs quickly; a real device takes about as long.
inline constexpr std::chrono::milliseconds kDefaultReenumerationDelay{250};
// The device's interrupt endpoint is polled every millisecond; in update mode each poll
// carries the latest answer again.
inline constexpr std::chrono::milliseconds kRepeatInterval{1};

// The device's own data: fixed at construction.
struct DeviceOptions {
    uint32_t tableSeed = 0x56E17D5Fu;  // drives the parameter table contents
    uint8_t rowIndex = 9;              // row of the table that yields the program-data mask
    uint8_t firmwareVersion = 0x13;
    uint32_t deviceId = 0x4C560821u;
    uint32_t configWord0 = 0xFFFFFF7Fu;
    uint32_t configWord1 = 0x0000FFFEu;
    std::u16string manufacturer = u"Velto";
    std::u16string runProduct = u"Velto DSP";
    std::u16string updateProduct = u"Velto IAP";
    // "SIM" first: the updater writes its placeholder images only to a device whose serial
    // number says it is the simulated one.
    std::u16string serial = u"SIM-VT0103-0001";
    // The port it is plugged into, the same in both modes.
    std::string location = "1-1";
};

// One output report as the device saw it, in arrival order.
struct LogEntry {
    Mode mode = Mode::Run;
    uint8_t command = 0;  // framed command byte, or IAP packet byte 0
    int64_t number = -1;  // block (0xA8, 0x53) or IAP packet number; -1 when none
    bool framed = false;  // a well-formed frame (run mode)
    bool handled = true;  // false when the device ignored it (malformed, rebooting)
};

class VeltoDevice {
  public:
    using Clock = std::chrono::steady_clock;

    explicit VeltoDevice(std::shared_ptr<DevicePort> port, DeviceOptions options = {});
    ~VeltoDevice();  // unplugs and stops the timer thread
    VeltoDevice(const VeltoDevice&) = delete;
    VeltoDevice& operator=(const VeltoDevice&) = delete;

    // Plugs in now (replugs when plugged in the other mode). Returns once the port has been
    // called; false when the port refused. Cancels a pending re-enumeration.
    bool PlugIn(Mode mode);
    // Leaves the bus now and cancels a pending re-enumeration.
    void Unplug();
    bool IsPlugged() const;
    Mode CurrentMode() const;
    static DeviceIdentity IdentityFor(Mode mode, const DeviceOptions& options);
    static std::vector<uint8_t> ReportDescriptor();

    // Waits (up to timeout) until the device is plugged in the given mode / has logged at
    // least count reports. For tests and the simulated program's runner.
    bool WaitForMode(Mode mode, std::chrono::milliseconds timeout) const;
    bool WaitUntilUnplugged(std::chrono::milliseconds timeout) const;
    bool WaitForLogSize(std::size_t count, std::chrono::milliseconds timeout) const;

    // Memories.
    std::vector<uint8_t> Flash() const;
    std::size_t FlashBytesWritten() const;
    uint32_t AnnouncedLength() const;  // image length of the last start packet
    // True when the last programming announced exactly length bytes, wrote all of them and
    // the flash holds image there.
    bool FlashMatches(const uint8_t* image, std::size_t length) const;
    std::vector<uint8_t> DspMemory() const;
    bool DspMatches(const uint8_t* preparedBuffer, std::size_t length) const;
    uint16_t DspLengthField() const;  // DSP memory bytes 0..1, MSB first
    uint16_t DspCheckBytes() const;   // DSP memory bytes 2..3, MSB first
    std::size_t DspBlocksStored() const;
    // The table as the host reads it (with the row-index fault applied) and the mask the
    // device itself removes from program blocks.
    std::array<uint8_t, kParamTableSize> ParameterTable() const;
    uint32_t DspMask() const;
    // The mask a host derives from a table: S[j] = t[5 + 16r + j] ^ t[2], byte i = S[i]^S[i+4].
    // Rows above 31 are outside the table and give nullopt.
    static std::optional<uint32_t> MaskFromTable(const std::array<uint8_t, kParamTableSize>& t);

    std::vector<LogEntry> Log() const;
    std::size_t CountReceived(Mode mode, uint8_t command) const;
    void ClearLog();

    // Faults and timing. Counts of "answers" are of answers the device produces from now on,
    // 1 being the next one.
    void SetAnswerLatency(std::chrono::milliseconds latency);
    void SetReenumerationDelay(std::chrono::milliseconds delay);
    void SetRepeatInterval(std::chrono::milliseconds interval);  // 0 stops the repeat
    void DropAnswer(int nth);
    // Reports (payload without the report ID) sent just before the nth answer.
    void InjectBeforeAnswer(int nth, std::vector<uint8_t> payload);
    // A wrong sum in the answer to the occurrence-th IAP packet (0-based, counted per byte 0
    // value within one update session) whose byte 0 is byte0; for data packets the occurrence
    // is the data packet index.
    void SetWrongSum(uint8_t byte0, int occurrence = 0);
    // Leaves the bus instead of handling the index-th IAP packet of an update session (0-based)
    // or the 0x53 block with this number. Comes back in the same mode after replugAfter, or
    // stays away when it is nullopt.
    void UnplugAtIapPacket(int index, std::optional<std::chrono::milliseconds> replugAfter = {});
    // Takes no notice of the index-th IAP packet of an update session (0-based), as if it was
    // lost on the way: the answer to the packet before it goes on being repeated.
    void IgnoreIapPacket(int index);
    void UnplugAtDspBlock(int block, std::optional<std::chrono::milliseconds> replugAfter = {});
    // Reports this value as the table's row index (table byte 0) instead of the real one.
    void SetReportedRowIndex(uint8_t row);
    // Falls silent, plugged in: from the occurrence-th output report in this mode whose command
    // (framed command byte, or IAP byte 0) is command, counted over the device's life from 0,
    // that report included, it takes no notice of anything for duration: no answer, no mode
    // change, and no repeat of its last answer. Afterwards it serves again.
    void DeafAt(Mode mode, uint8_t command, int occurrence, std::chrono::milliseconds duration);
    // Removes every fault above; latency, re-enumeration delay and repeat stay as set.
    void ClearFaults();

  private:
    struct Gate;
    // Work for the timer thread; carries the plug epoch it was made in.
    struct Event {
        enum class Kind { Send, Repeat, Leave, Return, PlugNow, UnplugNow };
        Kind kind = Kind::Send;
        uint64_t epoch = 0;
        uint64_t packetGen = 0;
        std::vector<std::vector<uint8_t>> reports;  // Send: noise first, then the answer
        bool repeat = false;                        // Send: repeat it every poll afterwards
        std::optional<Mode> mode;                   // Leave: return mode; plugs: the mode
        std::chrono::milliseconds delay{0};         // Leave: time off the bus
        uint64_t ticket = 0;                        // a caller waits for this one
    };
    // A call into the port, made by the timer thread without the lock.
    struct PortOp {
        enum class Kind { Send, Plug, Unplug };
        Kind kind = Kind::Send;
        std::vector<uint8_t> report;
        Mode mode = Mode::Run;
        uint64_t epoch = 0;
    };

    void OnOutput(uint64_t epoch, const uint8_t* report, std::size_t length);
    void HandleFrame(const uint8_t* data, std::size_t length);
    void HandleIap(const uint8_t* data, std::size_t length);
    void QueueAnswer(std::vector<uint8_t> answer, bool repeat);
    void ScheduleLeave(std::optional<Mode> returnMode, std::chrono::milliseconds delay);
    void BeginPlug(Mode mode, std::vector<PortOp>& ops);
    void Schedule(Clock::time_point at, Event event);
    void Request(Event event);
    void TimerLoop();
    std::vector<PortOp> RunEvent(Event& event);
    void ExecuteOps(const std::vector<PortOp>& ops);
    void Append(Mode mode, uint8_t command, int64_t number, bool framed, bool handled);
    // Lock held: counts the report and tells whether the device is deaf to it.
    bool Deaf(const uint8_t* data, std::size_t n);

    const std::shared_ptr<DevicePort> port_;
    const DeviceOptions options_;
    const std::shared_ptr<Gate> gate_;

    mutable std::mutex mu_;
    mutable std::condition_variable changed_;  // plug state, log, completed requests
    std::condition_variable wake_;             // timer thread

    // Plug state. epoch_ changes with every plug or unplug; events and output handlers
    // carry the epoch they belong to and are dropped when it has moved on.
    bool plugged_ = false;
    bool leaving_ = false;
    Mode mode_ = Mode::Run;
    uint64_t epoch_ = 0;
    uint64_t packetGen_ = 0;  // changes with every output report handled in update mode
    std::vector<uint8_t> latestAnswer_;

    // Memories and data.
    std::vector<uint8_t> flash_;
    std::size_t flashWritten_ = 0;
    uint32_t announcedLength_ = 0;
    bool programming_ = false;
    std::vector<uint8_t> dsp_;
    std::size_t dspBlocksStored_ = 0;
    std::array<uint8_t, kParamTableSize> table_{};
    uint32_t mask_ = 0;

    // Update session.
    std::map<uint8_t, int> iapOccurrences_;
    int iapPacketIndex_ = 0;

    std::vector<LogEntry> log_;

    // Timing and faults.
    std::chrono::milliseconds latency_{0};
    std::chrono::milliseconds reenumDelay_ = kDefaultReenumerationDelay;
    std::chrono::milliseconds repeatInterval_ = kRepeatInterval;
    uint64_t answerCount_ = 0;
    std::vector<uint64_t> dropAnswers_;
    std::multimap<uint64_t, std::vector<uint8_t>> injections_;
    std::vector<std::pair<uint8_t, int>> wrongSums_;
    std::optional<int> unplugAtIap_;
    std::optional<int> ignoreIap_;
    std::optional<int> unplugAtBlock_;
    std::optional<std::chrono::milliseconds> unplugReplug_;
    std::optional<uint8_t> reportedRow_;
    struct DeafFault {
        Mode mode = Mode::Run;
        uint8_t command = 0;
        int occurrence = 0;
        std::chrono::milliseconds duration{0};
    };
    std::optional<DeafFault> deafAt_;
    std::map<std::pair<Mode, uint8_t>, int> commandCounts_;
    Clock::time_point deafUntil_{};

    // Timer thread.
    std::multimap<Clock::time_point, Event> events_;
    uint64_t nextTicket_ = 0;
    uint64_t doneTicket_ = 0;
    bool stop_ = false;
    std::thread timer_;
};

}  // namespace simdev
