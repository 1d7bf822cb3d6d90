#include "modsim/slots.h"

#include "modsim/bytes.h"
#include "modsim/uei.h"

namespace modsim {

namespace {
enum Op : uint8_t {
    kCapacity = 1,
    kSize = 2,
    kOpenRead = 3,
    kOpenWrite = 4,
    kRead = 6,
    kWrite = 7,
    kClose = 8
};
constexpr std::size_t kMaxHandles = 4;
constexpr std::size_t kReadChunk = 25;
}  // namespace

const std::vector<uint8_t>* SlotStore::slot(uint8_t store, uint8_t slot) const {
    auto it = slots_.find(static_cast<uint16_t>(store << 8 | slot));
    return it == slots_.end() ? nullptr : &it->second;
}

void SlotStore::handle(const Packet& packet, uint8_t address, Outcome& out) {
    const auto& d = packet.data;
    if (d.size() < 3)
        return;
    const uint8_t op = d[1];
    auto reply = [&](std::vector<uint8_t> bytes) {
        out.replies.emplace_back(address, std::move(bytes));
    };
    if (op >= kCapacity && op <= kOpenWrite) {
        if (d.size() < 4)
            return;
        const uint8_t store = d[2], slotNo = d[3];
        auto fail = [&](uint8_t code) {
            reply({kCmdSlot, static_cast<uint8_t>(op | 0x80), store, slotNo, code});
        };
        if (!valid(store, slotNo))
            return fail(kErrRange);
        auto& bytes = slots_[static_cast<uint16_t>(store << 8 | slotNo)];
        if (op == kCapacity || op == kSize) {
            std::vector<uint8_t> r{kCmdSlot, op, store, slotNo};
            putBE16(r,
                    op == kCapacity ? config_.slotCapacity : static_cast<uint16_t>(bytes.size()));
            return reply(r);
        }
        for (const auto& [h, open] : handles_)
            if (open.store == store && open.slot == slotNo)
                return fail(kErrBusy);
        if (handles_.size() >= kMaxHandles)
            return fail(kErrResource);
        uint8_t handle = 0;
        while (handles_.count(handle))
            ++handle;
        handles_[handle] = Handle{store, slotNo, op == kOpenWrite, 0};
        if (op == kOpenWrite)
            bytes.clear();
        return reply({kCmdSlot, op, store, slotNo, handle});
    }
    const uint8_t handle = d[2];
    auto fail = [&](uint8_t code) {
        reply({kCmdSlot, static_cast<uint8_t>(op | 0x80), handle, code});
    };
    auto it = handles_.find(handle);
    if (op != kRead && op != kWrite && op != kClose)
        return fail(kErrInvalidOption);
    if (it == handles_.end())
        return fail(kErrNotFound);
    Handle& h = it->second;
    auto& bytes = slots_[static_cast<uint16_t>(h.store << 8 | h.slot)];
    if (op == kClose) {
        handles_.erase(it);
        return reply({kCmdSlot, kClose, handle, 0});
    }
    if (op == kRead) {
        if (h.writing)
            return fail(kErrMode);
        std::vector<uint8_t> r{kCmdSlot, kRead, handle};
        std::size_t n = std::min(kReadChunk, bytes.size() - h.position);
        r.insert(r.end(), bytes.begin() + static_cast<long>(h.position),
                 bytes.begin() + static_cast<long>(h.position + n));
        h.position += n;
        return reply(r);
    }
    if (!h.writing)
        return fail(kErrMode);
    std::size_t n = d.size() - 3;
    if (n == 0 || n > 25)
        return fail(kErrSize);
    if (bytes.size() + n > config_.slotCapacity)
        return fail(kErrOverrun);
    uint8_t sum = 0;
    for (std::size_t i = 3; i < d.size(); ++i)
        sum = static_cast<uint8_t>(sum + d[i]);
    bytes.insert(bytes.end(), d.begin() + 3, d.end());
    reply({kCmdSlot, kWrite, handle, sum});
}

}  // namespace modsim
