#include "modsim/bootloader.h"

#include <algorithm>
#include <cstring>

#include "modsim/bytes.h"
#include "modsim/uei.h"

namespace modsim {

namespace {
enum Op : uint8_t {
    kInit = 0,
    kData = 1,
    kLoad = 2,
    kPrepare = 3,
    kSum = 4,
    kWrite = 5,
    kReboot = 6,
    kStatus = 7
};
}

BootLoader::BootLoader(const ModuleConfig& config, FaultPlan& faults, Counters& counters)
    : config_(config), faults_(faults), counters_(counters) {}

Phase BootLoader::phaseOf(const Packet& packet) {
    if (packet.data.size() < 2 || packet.data[0] != kCmdUpgrade)
        return Phase::Any;
    switch (packet.data[1]) {
        case kInit:
            return Phase::Init;
        case kData:
            return Phase::Data;
        case kLoad:
            return Phase::Load;
        case kPrepare:
            return Phase::Prepare;
        case kSum:
            return Phase::Sum;
        case kWrite:
            return Phase::Write;
        case kReboot:
            return Phase::Reboot;
        default:
            return Phase::Any;
    }
}

uint32_t BootLoader::pendingSum() const {
    uint32_t sum = 0;
    for (uint8_t b : pending_)
        sum += b;
    return sum;
}

// Bytes of a block transfer that were never written (a loader's payload):
// they go to RAM, which the simulator only counts.
void BootLoader::stashUnwritten() {
    if (!pending_.empty())
        counters_.inc("loader_bytes", pending_.size());
    pending_.clear();
}

void BootLoader::acceptBlockBytes(const std::vector<uint8_t>& bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    counters_.inc("data_bytes", bytes.size());
}

void BootLoader::handle(const Packet& packet, uint8_t address, Outcome& out) {
    const auto& d = packet.data;
    if (d.size() < 2)
        return;
    auto status = [&](uint8_t code, std::vector<uint8_t> extra = {}) {
        std::vector<uint8_t> r{kCmdUpgrade, kStatus, code};
        r.insert(r.end(), extra.begin(), extra.end());
        out.replies.emplace_back(address, std::move(r));
    };
    switch (d[1]) {
        case kInit: {
            counters_.inc("init");
            stashUnwritten();
            imageStart_.reset();
            prepared_ = false;
            std::vector<uint8_t> r{kCmdUpgrade, kInit};
            putBE32(r, config_.loadBase);
            out.replies.emplace_back(address, std::move(r));
            break;
        }
        case kPrepare: {
            counters_.inc("prepare");
            if (d.size() < 7) {
                status(kErrShortCommand);
                break;
            }
            stashUnwritten();
            blockAddress_ = getBE32(&d[3]);
            blockOffset_ = 0;
            prepared_ = true;
            uint8_t code = 0;
            if (Fault* f = faults_.trigger(Fault::Kind::PrepareStatus))
                code = static_cast<uint8_t>(f->arg);
            uint16_t size = config_.blockSize;
            if (faults_.trigger(Fault::Kind::BlockSizeZero))
                size = 0;
            std::vector<uint8_t> extra;
            putBE16(extra, size);
            status(code, extra);
            break;
        }
        case kData: {
            counters_.inc("data_packets");
            uint8_t n = static_cast<uint8_t>(d.size() - 2);
            if (n > 0 && faults_.trigger(Fault::Kind::BadDataCount)) {
                // Report one byte less and keep none of them, as a module
                // that lost part of the packet would.
                out.replies.emplace_back(
                    address, std::vector<uint8_t>{kCmdUpgrade, kData, static_cast<uint8_t>(n - 1)});
                break;
            }
            acceptBlockBytes(std::vector<uint8_t>(d.begin() + 2, d.end()));
            out.replies.emplace_back(address, std::vector<uint8_t>{kCmdUpgrade, kData, n});
            break;
        }
        case kSum: {
            counters_.inc("sum");
            uint32_t sum = pendingSum();
            if (faults_.trigger(Fault::Kind::BadSum))
                sum += 1;
            std::vector<uint8_t> extra;
            putBE32(extra, sum);
            status(0, extra);
            break;
        }
        case kWrite: {
            counters_.inc("write");
            if (d.size() < 4) {
                status(kErrShortCommand);
                break;
            }
            uint16_t length = getBE16(&d[2]);
            if (Fault* f = faults_.trigger(Fault::Kind::WriteStatus)) {
                pending_.clear();
                status(static_cast<uint8_t>(f->arg));
                break;
            }
            if (!prepared_ || length > pending_.size()) {
                pending_.clear();
                status(kErrRange);
                break;
            }
            uint64_t target = static_cast<uint64_t>(blockAddress_) + blockOffset_;
            if (target < config_.flashBase ||
                target + length > static_cast<uint64_t>(config_.flashBase) + config_.flashSize) {
                pending_.clear();
                status(kErrRange);
                break;
            }
            if (flash_.empty())
                flash_.assign(config_.flashSize, 0xFF);
            std::size_t offset = static_cast<std::size_t>(target - config_.flashBase);
            std::copy(pending_.end() - length, pending_.end(), flash_.begin() + offset);
            flashHigh_ = std::max(flashHigh_, offset + length);
            if (!imageStart_ || static_cast<uint32_t>(target) < *imageStart_)
                imageStart_ = static_cast<uint32_t>(target);
            blockOffset_ += length;
            pending_.clear();
            counters_.inc("flash_bytes_written", length);
            status(0);
            break;
        }
        case kLoad: {
            counters_.inc("load");
            stashUnwritten();
            inLoader_ = true;
            if (config_.loadDropMs >= 0 && allowLoadDrop_) {
                // The loader restarts the module: the answer comes on the next link.
                pendingLoadReply = true;
                out.action = Outcome::Action::Restart;
                out.comeBackMs = config_.loadDropMs;
                out.applyImage = false;
                break;
            }
            out.replies.emplace_back(address, std::vector<uint8_t>{kCmdUpgrade, kLoad});
            break;
        }
        case kReboot: {
            counters_.inc("reboot");
            stashUnwritten();
            out.action = Outcome::Action::Restart;
            out.applyImage = true;
            out.comeBackMs = faults_.trigger(Fault::Kind::NoReturn) ? -1 : config_.rebootMs;
            break;
        }
        default:
            counters_.inc("unknown_upgrade_requests");
            break;
    }
}

std::optional<ImageIdentity> BootLoader::imageIdentity() const {
    uint32_t start = imageStart_ ? *imageStart_ : config_.flashBase;
    auto header = readFlash(start + kImageHeaderOffset, 16);
    if (std::memcmp(header.data(), kImageMagic, 4) != 0)
        return std::nullopt;
    return ImageIdentity{getBE32(&header[4]), getBE32(&header[8])};
}

std::vector<uint8_t> BootLoader::readFlash(uint32_t address, std::size_t length) const {
    std::vector<uint8_t> out(length, 0xFF);
    for (std::size_t i = 0; i < length; ++i) {
        uint64_t a = static_cast<uint64_t>(address) + i;
        if (a < config_.flashBase)
            continue;
        uint64_t offset = a - config_.flashBase;
        if (offset < flashHigh_)
            out[i] = flash_[offset];
    }
    return out;
}

std::vector<uint8_t> BootLoader::flashImage() const {
    return std::vector<uint8_t>(flash_.begin(), flash_.begin() + static_cast<long>(flashHigh_));
}

}  // namespace modsim
