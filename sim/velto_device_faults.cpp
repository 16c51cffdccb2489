// The simulated device's faults and timing: what tests and the kernel tests' device programs
// set to make the device late, silent, wrong or gone at a chosen moment.
#include "sim/velto_device.h"

#include <algorithm>

namespace simdev {

void VeltoDevice::SetAnswerLatency(std::chrono::milliseconds latency) {
    std::lock_guard lk(mu_);
    latency_ = std::max(latency, std::chrono::milliseconds(0));
}

void VeltoDevice::SetReenumerationDelay(std::chrono::milliseconds delay) {
    std::lock_guard lk(mu_);
    reenumDelay_ = std::max(delay, std::chrono::milliseconds(0));
}

void VeltoDevice::SetRepeatInterval(std::chrono::milliseconds interval) {
    std::lock_guard lk(mu_);
    repeatInterval_ = std::max(interval, std::chrono::milliseconds(0));
}

void VeltoDevice::DropAnswer(int nth) {
    std::lock_guard lk(mu_);
    if (nth > 0) dropAnswers_.push_back(answerCount_ + static_cast<uint64_t>(nth));
}

void VeltoDevice::InjectBeforeAnswer(int nth, std::vector<uint8_t> payload) {
    std::lock_guard lk(mu_);
    if (nth > 0) injections_.emplace(answerCount_ + static_cast<uint64_t>(nth), std::move(payload));
}

void VeltoDevice::SetWrongSum(uint8_t byte0, int occurrence) {
    std::lock_guard lk(mu_);
    wrongSums_.emplace_back(byte0, occurrence);
}

void VeltoDevice::UnplugAtIapPacket(int index,
                                    std::optional<std::chrono::milliseconds> replugAfter) {
    std::lock_guard lk(mu_);
    unplugAtIap_ = index;
    unplugReplug_ = replugAfter;
}

void VeltoDevice::IgnoreIapPacket(int index) {
    std::lock_guard lk(mu_);
    ignoreIap_ = index;
}

void VeltoDevice::UnplugAtDspBlock(int block,
                                   std::optional<std::chrono::milliseconds> replugAfter) {
    std::lock_guard lk(mu_);
    unplugAtBlock_ = block;
    unplugReplug_ = replugAfter;
}

void VeltoDevice::SetReportedRowIndex(uint8_t row) {
    std::lock_guard lk(mu_);
    reportedRow_ = row;
}

void VeltoDevice::DeafAt(Mode mode, uint8_t command, int occurrence,
                         std::chrono::milliseconds duration) {
    std::lock_guard lk(mu_);
    deafAt_ = DeafFault{mode, command, occurrence, duration};
}

bool VeltoDevice::Deaf(const uint8_t* d, std::size_t n) {
    const bool framed = n >= 6 && d[0] == 0x10 && d[1] == 0x02;
    const uint8_t command = mode_ == Mode::Run ? (framed ? d[5] : 0) : (n >= 1 ? d[0] : 0);
    const int seen = commandCounts_[{mode_, command}]++;
    const auto now = Clock::now();
    if (deafAt_ && deafAt_->mode == mode_ && deafAt_->command == command &&
        deafAt_->occurrence == seen) {
        deafUntil_ = now + deafAt_->duration;
        deafAt_.reset();
        // The answer it was repeating stops too.
        ++packetGen_;
        latestAnswer_.clear();
    }
    return now < deafUntil_;
}

void VeltoDevice::ClearFaults() {
    std::lock_guard lk(mu_);
    deafAt_.reset();
    deafUntil_ = {};
    dropAnswers_.clear();
    injections_.clear();
    wrongSums_.clear();
    unplugAtIap_.reset();
    ignoreIap_.reset();
    unplugAtBlock_.reset();
    unplugReplug_.reset();
    reportedRow_.reset();
}

}  // namespace simdev
