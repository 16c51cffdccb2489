#include "sim/velto_device.h"

#include <algorithm>
#include <cstring>

#include "sim/report_descriptor.h"

namespace simdev {

namespace {

uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void WriteLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// An input report (ID 0, then 64 bytes) carrying a framed answer from the device to the host.
std::vector<uint8_t> AnswerFrame(uint8_t cmd, const uint8_t* payload, std::size_t n) {
    std::vector<uint8_t> report(1 + kReportSize, 0);
    uint8_t* f = report.data() + 1;
    f[0] = 0x10;
    f[1] = 0x02;
    f[2] = kDeviceAddress;
    f[3] = kHostAddress;
    f[4] = static_cast<uint8_t>(n + 1);
    f[5] = cmd;
    if (n > 0) std::memcpy(f + 6, payload, n);
    f[6 + n] = 0x10;
    f[7 + n] = 0x03;
    uint8_t x = 0;
    for (std::size_t i = 0; i < 8 + n; ++i)
        x ^= f[i];
    f[8 + n] = x;
    return report;
}

std::array<uint8_t, kParamTableSize> MakeTable(uint32_t seed, uint8_t row) {
    std::array<uint8_t, kParamTableSize> t{};
    uint32_t s = seed != 0 ? seed : 0x9E3779B9u;
    for (auto& b : t) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        b = static_cast<uint8_t>(s >> 24);
    }
    t[0] = std::min(row, kMaxRowIndex);
    // The mask must not vanish, or masked and plain program blocks could not be told apart.
    if (VeltoDevice::MaskFromTable(t).value_or(0) == 0) t[5 + 16u * t[0]] ^= 0x5A;
    return t;
}

}  // namespace

// Lets the device wait out output handlers still running on host threads before it goes away;
// the bus may keep a copy of the handler after the unplug.
struct VeltoDevice::Gate {
    std::mutex mu;
    std::condition_variable idle;
    bool open = true;
    int inFlight = 0;

    bool Enter() {
        std::lock_guard lk(mu);
        if (!open) return false;
        ++inFlight;
        return true;
    }
    void Leave() {
        std::lock_guard lk(mu);
        if (--inFlight == 0) idle.notify_all();
    }
    void Close() {
        std::unique_lock lk(mu);
        open = false;
        idle.wait(lk, [this] { return inFlight == 0; });
    }
};

VeltoDevice::VeltoDevice(std::shared_ptr<DevicePort> port, DeviceOptions options)
    : port_(std::move(port)),
      options_(std::move(options)),
      gate_(std::make_shared<Gate>()),
      flash_(kFlashSize, kFlashErased),
      dsp_(kDspMemorySize, 0),
      table_(MakeTable(options_.tableSeed, options_.rowIndex)),
      mask_(MaskFromTable(table_).value_or(0)) {
    timer_ = std::thread([this] { TimerLoop(); });
}

VeltoDevice::~VeltoDevice() {
    gate_->Close();
    {
        std::lock_guard lk(mu_);
        stop_ = true;
    }
    wake_.notify_all();
    timer_.join();
    bool plugged = false;
    {
        std::lock_guard lk(mu_);
        plugged = plugged_;
        plugged_ = false;
    }
    if (plugged) port_->Unplug();
}

DeviceIdentity VeltoDevice::IdentityFor(Mode mode, const DeviceOptions& options) {
    DeviceIdentity id;
    id.vendorId = kVendorId;
    id.productId = mode == Mode::Run ? kRunProductId : kUpdateProductId;
    id.version = kDeviceVersion;
    id.manufacturer = options.manufacturer;
    id.product = mode == Mode::Run ? options.runProduct : options.updateProduct;
    id.serial = options.serial;
    id.location = options.location;
    id.reportDescriptor = ReportDescriptor();
    return id;
}

std::vector<uint8_t> VeltoDevice::ReportDescriptor() {
    return {kReportDescriptor.begin(), kReportDescriptor.end()};
}

// ---- Plug state ---------------------------------------------------------------------------

bool VeltoDevice::PlugIn(Mode mode) {
    Event ev;
    ev.kind = Event::Kind::PlugNow;
    ev.mode = mode;
    Request(std::move(ev));
    std::lock_guard lk(mu_);
    return plugged_ && mode_ == mode;
}

void VeltoDevice::Unplug() {
    Event ev;
    ev.kind = Event::Kind::UnplugNow;
    Request(std::move(ev));
}

bool VeltoDevice::IsPlugged() const {
    std::lock_guard lk(mu_);
    return plugged_;
}

Mode VeltoDevice::CurrentMode() const {
    std::lock_guard lk(mu_);
    return mode_;
}

bool VeltoDevice::WaitForMode(Mode mode, std::chrono::milliseconds timeout) const {
    std::unique_lock lk(mu_);
    return changed_.wait_for(lk, timeout, [&] { return plugged_ && mode_ == mode; });
}

bool VeltoDevice::WaitUntilUnplugged(std::chrono::milliseconds timeout) const {
    std::unique_lock lk(mu_);
    return changed_.wait_for(lk, timeout, [&] { return !plugged_; });
}

bool VeltoDevice::WaitForLogSize(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lk(mu_);
    return changed_.wait_for(lk, timeout, [&] { return log_.size() >= count; });
}

// ---- Memories -----------------------------------------------------------------------------

std::vector<uint8_t> VeltoDevice::Flash() const {
    std::lock_guard lk(mu_);
    return flash_;
}

std::size_t VeltoDevice::FlashBytesWritten() const {
    std::lock_guard lk(mu_);
    return flashWritten_;
}

uint32_t VeltoDevice::AnnouncedLength() const {
    std::lock_guard lk(mu_);
    return announcedLength_;
}

bool VeltoDevice::FlashMatches(const uint8_t* image, std::size_t length) const {
    std::lock_guard lk(mu_);
    if (length > kFlashSize || announcedLength_ != length || flashWritten_ != length) return false;
    return length == 0 || std::equal(image, image + length, flash_.begin());
}

std::vector<uint8_t> VeltoDevice::DspMemory() const {
    std::lock_guard lk(mu_);
    return dsp_;
}

bool VeltoDevice::DspMatches(const uint8_t* preparedBuffer, std::size_t length) const {
    std::lock_guard lk(mu_);
    if (length > kDspMemorySize) return false;
    return length == 0 || std::equal(preparedBuffer, preparedBuffer + length, dsp_.begin());
}

uint16_t VeltoDevice::DspLengthField() const {
    std::lock_guard lk(mu_);
    return static_cast<uint16_t>(dsp_[0] << 8 | dsp_[1]);
}

uint16_t VeltoDevice::DspCheckBytes() const {
    std::lock_guard lk(mu_);
    return static_cast<uint16_t>(dsp_[2] << 8 | dsp_[3]);
}

std::size_t VeltoDevice::DspBlocksStored() const {
    std::lock_guard lk(mu_);
    return dspBlocksStored_;
}

std::array<uint8_t, kParamTableSize> VeltoDevice::ParameterTable() const {
    std::lock_guard lk(mu_);
    auto t = table_;
    if (reportedRow_) t[0] = *reportedRow_;
    return t;
}

uint32_t VeltoDevice::DspMask() const {
    std::lock_guard lk(mu_);
    return mask_;
}

std::optional<uint32_t> VeltoDevice::MaskFromTable(const std::array<uint8_t, kParamTableSize>& t) {
    const std::size_t r = t[0];
    if (r > kMaxRowIndex) return std::nullopt;
    uint8_t s[8];
    for (std::size_t j = 0; j < 8; ++j)
        s[j] = t[5 + 16 * r + j] ^ t[2];
    uint32_t mask = 0;
    for (std::size_t i = 0; i < 4; ++i)
        mask |= static_cast<uint32_t>(s[i] ^ s[i + 4]) << (8 * i);
    return mask;
}

// ---- Log ----------------------------------------------------------------------------------

std::vector<LogEntry> VeltoDevice::Log() const {
    std::lock_guard lk(mu_);
    return log_;
}

std::size_t VeltoDevice::CountReceived(Mode mode, uint8_t command) const {
    std::lock_guard lk(mu_);
    return static_cast<std::size_t>(std::count_if(log_.begin(), log_.end(), [&](const LogEntry& e) {
        return e.handled && e.mode == mode && e.command == command;
    }));
}

void VeltoDevice::ClearLog() {
    std::lock_guard lk(mu_);
    log_.clear();
}

void VeltoDevice::Append(Mode mode, uint8_t command, int64_t number, bool framed, bool handled) {
    log_.push_back(LogEntry{mode, command, number, framed, handled});
    changed_.notify_all();
}

// ---- Output reports (host writer thread) --------------------------------------------------

void VeltoDevice::OnOutput(uint64_t epoch, const uint8_t* report, std::size_t length) {
    std::lock_guard lk(mu_);
    // Reports for an earlier plug, or sent while the device is restarting, reach no firmware.
    const bool live = epoch == epoch_ && !leaving_;
    if (!live || report == nullptr || length < 2 || report[0] != 0) {
        const uint8_t first = (report != nullptr && length >= 2) ? report[1] : 0;
        Append(mode_, first, -1, false, false);
        return;
    }
    const uint8_t* data = report + 1;
    const std::size_t n = std::min(length - 1, kReportSize);
    if (Deaf(data, n)) {
        Append(mode_, mode_ == Mode::Run && n >= 6 ? data[5] : data[0], -1, false, false);
        return;
    }
    if (mode_ == Mode::Run) {
        HandleFrame(data, n);
    } else {
        HandleIap(data, n);
    }
}

void VeltoDevice::HandleFrame(const uint8_t* d, std::size_t n) {
    // 10 02 <from 0> <to 1> LEN CMD payload 10 03 XOR; the end is found from LEN alone.
    const bool header = n >= 9 && d[0] == 0x10 && d[1] == 0x02;
    const std::size_t total = header ? std::size_t{d[4]} + 8 : 0;
    bool ok = header && d[4] >= 1 && total <= n && d[2] == kHostAddress && d[3] == kDeviceAddress &&
              d[total - 3] == 0x10 && d[total - 2] == 0x03;
    if (ok) {
        uint8_t x = 0;
        for (std::size_t i = 0; i + 1 < total; ++i)
            x ^= d[i];
        ok = x == d[total - 1];
    }
    if (!ok) {
        Append(Mode::Run, n >= 6 ? d[5] : 0, -1, false, false);
        return;
    }
    const uint8_t cmd = d[5];
    const uint8_t* p = d + 6;
    const std::size_t pn = std::size_t{d[4]} - 1;

    switch (cmd) {
        case kCmdParamRead: {
            const uint8_t block = pn >= 1 ? p[0] : 0;
            Append(Mode::Run, cmd, block, true, true);
            uint8_t out[1 + kParamBlockSize] = {};
            out[0] = block;
            const std::size_t from = std::size_t{block} * kParamBlockSize;
            if (from < kParamTableSize) {
                auto t = table_;
                if (reportedRow_) t[0] = *reportedRow_;
                const std::size_t count = std::min(kParamBlockSize, kParamTableSize - from);
                std::memcpy(out + 1, t.data() + from, count);
            }
            QueueAnswer(AnswerFrame(cmd, out, sizeof out), false);
            return;
        }
        case kCmdDspBlock: {
            const int block = pn >= 2 ? (p[0] << 8 | p[1]) : -1;
            Append(Mode::Run, cmd, block, true, true);
            if (unplugAtBlock_ && *unplugAtBlock_ == block) {
                unplugAtBlock_.reset();
                ScheduleLeave(unplugReplug_ ? std::optional<Mode>(Mode::Run) : std::nullopt,
                              unplugReplug_.value_or(std::chrono::milliseconds(0)));
                return;
            }
            if (pn == 2 + kDspBlockSize && block >= 0 &&
                static_cast<std::size_t>(block) < kDspBlockCount) {
                uint8_t* dst = dsp_.data() + static_cast<std::size_t>(block) * kDspBlockSize;
                for (std::size_t g = 0; g < kDspBlockSize; g += 4)
                    WriteLe32(dst + g, ReadLe32(p + 2 + g) ^ mask_);
                ++dspBlocksStored_;
            }
            const uint8_t echo[2] = {pn >= 2 ? p[0] : uint8_t{0}, pn >= 2 ? p[1] : uint8_t{0}};
            QueueAnswer(AnswerFrame(cmd, echo, pn >= 2 ? 2 : 0), false);
            return;
        }
        case kCmdIapReset:
            Append(Mode::Run, cmd, -1, true, true);
            QueueAnswer(AnswerFrame(cmd, nullptr, 0), false);
            ScheduleLeave(Mode::Update, reenumDelay_);
            return;
        default:
            Append(Mode::Run, cmd, -1, true, true);
            QueueAnswer(AnswerFrame(cmd, nullptr, 0), false);
            return;
    }
}

void VeltoDevice::HandleIap(const uint8_t* d, std::size_t n) {
    // The host's 70-byte packet arrives cut to the report; what is missing counts as zero.
    uint8_t pkt[kReportSize] = {};
    std::memcpy(pkt, d, n);
    if (ignoreIap_ && *ignoreIap_ == iapPacketIndex_) {
        // Lost on the way: the session's count moves on, nothing else does.
        ignoreIap_.reset();
        ++iapPacketIndex_;
        Append(Mode::Update, pkt[0], ReadLe32(pkt + 4), false, false);
        return;
    }
    ++packetGen_;  // stops the repeat of the previous answer
    latestAnswer_.clear();

    const uint8_t op = pkt[0];
    const uint32_t number = ReadLe32(pkt + 4);
    Append(Mode::Update, op, number, false, true);

    const int index = iapPacketIndex_++;
    if (unplugAtIap_ && *unplugAtIap_ == index) {
        unplugAtIap_.reset();
        ScheduleLeave(unplugReplug_ ? std::optional<Mode>(Mode::Update) : std::nullopt,
                      unplugReplug_.value_or(std::chrono::milliseconds(0)));
        return;
    }
    const int occurrence = iapOccurrences_[op]++;

    uint32_t sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += pkt[i];
    auto wrong = std::find(wrongSums_.begin(), wrongSums_.end(), std::make_pair(op, occurrence));
    if (wrong != wrongSums_.end()) {
        wrongSums_.erase(wrong);
        sum += 1;
    }

    std::vector<uint8_t> report(1 + kReportSize, 0);
    uint8_t* a = report.data() + 1;
    WriteLe32(a, sum);
    WriteLe32(a + 4, number + 1);

    switch (op) {
        case kIapVersion:
            a[8] = options_.firmwareVersion;
            break;
        case kIapDeviceId:
            WriteLe32(a + 8, options_.deviceId);
            break;
        case kIapConfig:
            WriteLe32(a + 8, options_.configWord0);
            WriteLe32(a + 12, options_.configWord1);
            break;
        case kIapErase:
            std::fill(flash_.begin(), flash_.end(), kFlashErased);
            flashWritten_ = 0;
            programming_ = false;
            break;
        case kIapStart: {
            std::fill(flash_.begin(), flash_.end(), kFlashErased);
            announcedLength_ = ReadLe32(pkt + 12);
            flashWritten_ = 0;
            programming_ = true;
            const std::size_t limit = std::min<std::size_t>(announcedLength_, kFlashSize);
            const std::size_t take = std::min(kIapStartBytes, limit);
            std::memcpy(flash_.data(), pkt + 16, take);
            flashWritten_ = take;
            break;
        }
        case kIapData:
            if (programming_) {
                const std::size_t limit = std::min<std::size_t>(announcedLength_, kFlashSize);
                const std::size_t take = std::min(kIapDataBytes, limit - flashWritten_);
                std::memcpy(flash_.data() + flashWritten_, pkt + 8, take);
                flashWritten_ += take;
            }
            break;
        case kIapReset:
            programming_ = false;
            break;
        default:
            break;
    }

    QueueAnswer(std::move(report), op != kIapReset);
    if (op == kIapReset) ScheduleLeave(Mode::Run, reenumDelay_);
}

void VeltoDevice::QueueAnswer(std::vector<uint8_t> answer, bool repeat) {
    const uint64_t nth = ++answerCount_;
    auto drop = std::find(dropAnswers_.begin(), dropAnswers_.end(), nth);
    if (drop != dropAnswers_.end()) {
        dropAnswers_.erase(drop);
        return;
    }
    Event ev;
    ev.kind = Event::Kind::Send;
    ev.epoch = epoch_;
    ev.packetGen = packetGen_;
    auto [first, last] = injections_.equal_range(nth);
    for (auto it = first; it != last; ++it) {
        std::vector<uint8_t> noise;
        noise.reserve(it->second.size() + 1);
        noise.push_back(0);
        noise.insert(noise.end(), it->second.begin(), it->second.end());
        ev.reports.push_back(std::move(noise));
    }
    injections_.erase(first, last);
    if (repeat) latestAnswer_ = answer;
    ev.reports.push_back(std::move(answer));
    ev.repeat = repeat;
    Schedule(Clock::now() + latency_, std::move(ev));
}

void VeltoDevice::ScheduleLeave(std::optional<Mode> returnMode, std::chrono::milliseconds delay) {
    // Nothing is handled any more from here on; the answer already queued still goes out first
    // since it is due no later than the leave.
    leaving_ = true;
    Event ev;
    ev.kind = Event::Kind::Leave;
    ev.epoch = epoch_;
    ev.mode = returnMode;
    ev.delay = delay;
    Schedule(Clock::now() + latency_, std::move(ev));
}

// ---- Timer thread -------------------------------------------------------------------------

void VeltoDevice::Schedule(Clock::time_point at, Event event) {
    events_.emplace(at, std::move(event));
    wake_.notify_all();
}

void VeltoDevice::Request(Event event) {
    std::unique_lock lk(mu_);
    if (stop_) return;
    const uint64_t ticket = ++nextTicket_;
    event.ticket = ticket;
    Schedule(Clock::now(), std::move(event));
    changed_.wait(lk, [&] { return doneTicket_ >= ticket || stop_; });
}

void VeltoDevice::TimerLoop() {
    std::unique_lock lk(mu_);
    while (!stop_) {
        if (events_.empty()) {
            wake_.wait(lk);
            continue;
        }
        auto it = events_.begin();
        if (it->first > Clock::now()) {
            wake_.wait_until(lk, it->first);
            continue;
        }
        Event ev = std::move(it->second);
        events_.erase(it);
        std::vector<PortOp> ops = RunEvent(ev);
        lk.unlock();
        ExecuteOps(ops);
        lk.lock();
        if (ev.ticket != 0) {
            doneTicket_ = std::max(doneTicket_, ev.ticket);
            changed_.notify_all();
        }
    }
    // Callers waiting for a request must not hang once the device is going away.
    changed_.notify_all();
}

void VeltoDevice::BeginPlug(Mode mode, std::vector<PortOp>& ops) {
    ++epoch_;
    mode_ = mode;
    leaving_ = false;
    latestAnswer_.clear();
    if (mode == Mode::Update) {
        iapOccurrences_.clear();
        iapPacketIndex_ = 0;
        programming_ = false;
    }
    PortOp op;
    op.kind = PortOp::Kind::Plug;
    op.mode = mode;
    op.epoch = epoch_;
    ops.push_back(std::move(op));
}

std::vector<VeltoDevice::PortOp> VeltoDevice::RunEvent(Event& ev) {
    std::vector<PortOp> ops;
    const auto now = Clock::now();
    switch (ev.kind) {
        case Event::Kind::Send:
            if (ev.epoch != epoch_ || !plugged_) break;
            for (auto& r : ev.reports) {
                PortOp op;
                op.report = std::move(r);
                ops.push_back(std::move(op));
            }
            if (ev.repeat && repeatInterval_.count() > 0) {
                Event next;
                next.kind = Event::Kind::Repeat;
                next.epoch = ev.epoch;
                next.packetGen = ev.packetGen;
                Schedule(now + repeatInterval_, std::move(next));
            }
            break;
        case Event::Kind::Repeat:
            if (ev.epoch != epoch_ || !plugged_ || leaving_ || ev.packetGen != packetGen_ ||
                latestAnswer_.empty() || repeatInterval_.count() == 0)
                break;
            {
                PortOp op;
                op.report = latestAnswer_;
                ops.push_back(std::move(op));
                Schedule(now + repeatInterval_, std::move(ev));
            }
            break;
        case Event::Kind::Leave:
            if (ev.epoch != epoch_) break;
            ++epoch_;
            leaving_ = false;
            if (plugged_) {
                plugged_ = false;
                ops.push_back(PortOp{PortOp::Kind::Unplug, {}, mode_, epoch_});
            }
            if (ev.mode) {
                Event back;
                back.kind = Event::Kind::Return;
                back.epoch = epoch_;
                back.mode = ev.mode;
                Schedule(now + ev.delay, std::move(back));
            }
            changed_.notify_all();
            break;
        case Event::Kind::Return:
            if (ev.epoch != epoch_ || plugged_ || !ev.mode) break;
            BeginPlug(*ev.mode, ops);
            break;
        case Event::Kind::PlugNow:
            if (!ev.mode || (plugged_ && mode_ == *ev.mode && !leaving_)) break;
            if (plugged_) {
                plugged_ = false;
                ops.push_back(PortOp{PortOp::Kind::Unplug, {}, mode_, epoch_});
            }
            BeginPlug(*ev.mode, ops);
            break;
        case Event::Kind::UnplugNow:
            ++epoch_;
            leaving_ = false;
            if (plugged_) {
                plugged_ = false;
                ops.push_back(PortOp{PortOp::Kind::Unplug, {}, mode_, epoch_});
            }
            changed_.notify_all();
            break;
    }
    return ops;
}

void VeltoDevice::ExecuteOps(const std::vector<PortOp>& ops) {
    for (const PortOp& op : ops) {
        switch (op.kind) {
            case PortOp::Kind::Send:
                port_->SendInput(op.report.data(), op.report.size());
                break;
            case PortOp::Kind::Unplug:
                port_->Unplug();
                break;
            case PortOp::Kind::Plug: {
                auto gate = gate_;
                const uint64_t epoch = op.epoch;
                OutputHandler handler = [gate, this, epoch](const uint8_t* r, std::size_t n) {
                    if (!gate->Enter()) return;
                    OnOutput(epoch, r, n);
                    gate->Leave();
                };
                const bool ok = port_->Plug(IdentityFor(op.mode, options_), std::move(handler));
                std::lock_guard lk(mu_);
                if (epoch_ == op.epoch) {
                    plugged_ = ok;
                    changed_.notify_all();
                }
                break;
            }
        }
    }
}

}  // namespace simdev
