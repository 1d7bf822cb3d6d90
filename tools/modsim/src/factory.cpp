#include "modsim/factory.h"

#include "modsim/bytes.h"
#include "modsim/uei.h"

namespace modsim {

namespace {
constexpr uint8_t kFirst = 0x40;
constexpr uint8_t kClosing = 0x20;
constexpr uint8_t kWriteFlag = 0x10;
constexpr std::size_t kChunk = 26;
}  // namespace

void FactoryData::handle(const Packet& packet, uint8_t address, Outcome& out) {
    const auto& d = packet.data;
    if (d.size() < 2)
        return;
    const uint8_t flags = d[1] & 0xF0;
    const uint8_t kind = d[1] & 0x0F;
    auto reply = [&](std::vector<uint8_t> bytes) {
        out.replies.emplace_back(address, std::move(bytes));
    };
    auto fail = [&](uint8_t k, uint8_t code) {
        reply({kCmdFactory, static_cast<uint8_t>(k | 0x80), code});
    };
    if (flags == kClosing) {
        if (d.size() < 4)
            return fail(0, kErrShortCommand);
        const std::size_t count = getBE16(&d[2]);
        Mode mode = mode_;
        mode_ = Mode::None;
        if (mode == Mode::Writing) {
            if (count != incoming_.size())
                return fail(0, kErrSize);
            areas_[kind_] = incoming_;
        } else if (mode == Mode::Reading) {
            if (count != position_)
                return fail(0, kErrSize);
        } else if (count != 0) {
            return fail(0, kErrMode);
        }
        return reply({kCmdFactory, 0});
    }
    if (flags & kWriteFlag) {
        if (flags & kFirst) {
            mode_ = Mode::Writing;
            kind_ = kind;
            incoming_.clear();
        } else if (mode_ != Mode::Writing || kind_ != kind) {
            return fail(kind, kErrMode);
        }
        if (incoming_.size() + d.size() - 2 > 0xFFFF)
            return fail(kind, kErrOverrun);
        incoming_.insert(incoming_.end(), d.begin() + 2, d.end());
        return reply({kCmdFactory, kind});
    }
    if (flags & kFirst) {
        mode_ = Mode::Reading;
        kind_ = kind;
        position_ = 0;
    } else if (mode_ != Mode::Reading || kind_ != kind) {
        return fail(kind, kErrMode);
    }
    auto it = areas_.find(kind);
    if (it == areas_.end()) {
        mode_ = Mode::None;
        return fail(kind, kErrNotFound);
    }
    const auto& area = it->second;
    std::size_t n = std::min(kChunk, area.size() - position_);
    std::vector<uint8_t> r{kCmdFactory, kind};
    r.insert(r.end(), area.begin() + static_cast<long>(position_),
             area.begin() + static_cast<long>(position_ + n));
    position_ += n;
    reply(r);
}

}  // namespace modsim
