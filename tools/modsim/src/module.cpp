#include "modsim/module.h"

#include "modsim/bytes.h"

namespace modsim {

namespace {

// System entity options: width 0 (call), 1, 2, 4 bytes, or 5 (byte array).
struct SystemOption {
    uint8_t option;
    uint8_t width;
    bool get;
    bool set;
};

constexpr SystemOption kSystemOptions[] = {
    {1, 1, true, false},  {2, 1, true, true},   {3, 1, true, true},   {4, 1, true, true},
    {6, 1, true, true},   {7, 4, true, false},  {8, 1, true, false},  {9, 4, true, false},
    {10, 0, false, true}, {11, 0, false, true}, {12, 4, true, false}, {13, 1, true, false},
    {14, 1, true, false}, {15, 1, true, true},  {16, 1, true, false}, {20, 1, false, true},
    {21, 4, true, false}, {22, 4, true, false}, {23, 4, true, false}, {24, 0, false, true},
    {27, 4, true, false}, {28, 4, true, false}, {29, 1, true, false}, {32, 5, true, true},
    {37, 0, false, true}, {38, 1, true, true},  {39, 4, true, false}, {40, 4, true, false},
    {41, 4, true, false}, {42, 1, true, true},  {43, 4, true, false}, {45, 4, true, false},
};

const SystemOption* findSystemOption(uint8_t option) {
    for (const auto& o : kSystemOptions)
        if (o.option == option)
            return &o;
    return nullptr;
}

// Options a host may stream from the system entity when it subscribes to
// all options of it.
constexpr uint8_t kStreamedOptions[] = {12, 21, 22, 27};

constexpr std::size_t kMaxName = 64;

}  // namespace

Module::Module(ModuleConfig config, Module* router)
    : config_(std::move(config)),
      router_(router),
      bootLoader_(config_, faults_, counters_),
      slots_(config_),
      factory_(config_),
      i2c_([this](uint8_t a) { return subModuleAt(a) != nullptr; }),
      version_(config_.version),
      build_(config_.build),
      name_(config_.displayName()),
      heartbeatMs_(config_.heartbeatMs) {
    for (const Fault& f : config_.faults)
        faults_.add(f);
    bootLoader_.allowLoadDrop(router == nullptr);
    for (const ModuleConfig& sub : config_.subModules)
        subModules_.push_back(std::make_unique<Module>(sub, this));
    settings_[2] = router ? router->address() : config_.address;
    settings_[3] = static_cast<uint32_t>(heartbeatMs_ / 100);
    settings_[4] = 0;
    settings_[6] = 0;
    settings_[15] = 0;
    settings_[38] = 0;
    settings_[42] = 255;
}

Module* Module::subModuleAt(uint8_t i2cAddress) {
    for (auto& sub : subModules_)
        if (sub->config().i2cAddress == i2cAddress && sub->online())
            return sub.get();
    return nullptr;
}

bool Module::online() {
    if (offlineForGood_)
        return false;
    if (offlineUntil_ && Clock::now() >= *offlineUntil_) {
        offlineUntil_.reset();
        comeBack(applyOnReturn_);
    }
    return !offlineUntil_;
}

void Module::goOffline(int ms, bool applyImage) {
    counters_.inc("restarts");
    applyOnReturn_ = applyImage;
    if (ms < 0)
        offlineForGood_ = true;
    else
        offlineUntil_ = Clock::now() + std::chrono::milliseconds(ms);
}

void Module::comeBack(bool applyImage) {
    assembler_ = uei::ByteArrayAssembler();
    started_ = Clock::now();
    if (!applyImage)
        return;
    bootLoader_.leaveLoader();
    if (auto id = bootLoader_.imageIdentity()) {
        version_ = id->version;
        build_ = id->build;
        counters_.inc("images_started");
    } else {
        counters_.inc("images_without_identity");
    }
}

uint64_t Module::uptimeUs() const {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started_).count());
}

void Module::handle(const Packet& packet, LinkState& link, Outcome& out) {
    counters_.inc("packets_in");
    const auto& d = packet.data;
    if (d.empty())
        return;

    // Which request this is, for the phase-bound faults.
    std::optional<Phase> phase = Phase::Any;
    if (d[0] == kCmdUpgrade) {
        if (d.size() >= 2 && (d[1] & 0x3F) == kUpgradeUeiOption &&
            (d[1] & uei::kOpMask) == uei::kOpSet) {
            // Only the last message of a byte array counts as the request.
            phase = (d.size() >= 4 && !(d.back() & uei::kTrailerMore))
                        ? std::optional(Phase::UeiData)
                        : std::nullopt;
        } else {
            phase = BootLoader::phaseOf(packet);
        }
    }
    if (phase) {
        if (faults_.trigger(Fault::Kind::Ignore, *phase)) {
            counters_.inc("faults_fired");
            return;
        }
        if (faults_.trigger(Fault::Kind::DropIn, *phase)) {
            counters_.inc("faults_fired");
            out.action = Outcome::Action::DropLink;
            return;
        }
    }

    const uint8_t a = packet.address;
    switch (d[0]) {
        case kCmdUpgrade:
            if (d.size() >= 2 && (d[1] & uei::kOpMask) != 0)
                return handleUei(packet, link, out);
            return bootLoader_.handle(packet, a, out);
        case kCmdI2C:
            return i2c_.handle(packet, a, out, counters_);
        case kCmdSlot:
            return slots_.handle(packet, a, out);
        case kCmdFactory:
            return factory_.handle(packet, a, out);
        case kCmdInfo:
            return handleInfo(packet, out);
        case kCmdDebug:
            out.replies.push_back(packet);
            return;
        default:
            if (uei::isRawCommand(d[0])) {
                counters_.inc("ignored_packets");
                return;
            }
            return handleUei(packet, link, out);
    }
}

void Module::handleInfo(const Packet& packet, Outcome& out) {
    const auto& d = packet.data;
    const uint8_t a = packet.address;
    if (d.size() < 2)
        return;
    std::vector<uint8_t> r{kCmdInfo, d[1]};
    switch (d[1]) {
        case 0xFF:
            putBE32(r, build_);
            break;
        case 0x01:
            if (d.size() < 6)
                return;
            r.insert(r.end(), {d[2], d[3], d[4], supports(d[2], d[3], d[4], d[5])});
            break;
        case 0x04:
            if (d.size() < 3)
                return;
            r.insert(r.end(),
                     {d[2], static_cast<uint8_t>(supports(d[2], 0xFF, 0, 0) == 0 ? 1 : 0)});
            break;
        case 0x05: {
            if (d.size() < 4)
                return;
            uint8_t count = 0;
            if (d[3] == 0) {
                for (uint8_t o = 0; o < 64; ++o)
                    if (supports(d[2], o, 0, 0) == 0)
                        ++count;
            }
            r.insert(r.end(), {d[2], d[3], count});
            break;
        }
        case 0x06:
            if (d.size() < 4)
                return;
            r.insert(r.end(), {d[2], d[3], 0});
            break;
        default:
            counters_.inc("ignored_packets");
            return;
    }
    out.replies.emplace_back(a, std::move(r));
}

bool Module::systemHas(uint8_t option, bool set) const {
    const SystemOption* o = findSystemOption(option);
    if (!o || config_.withoutOptions.count(option))
        return false;
    if (option == 39 && !config_.recovery)
        return false;
    return set ? o->set : o->get;
}

// 0 when the entity has that option (0xFF: any option) for the operation in
// flags (0x80 set, 0x40 get, 0 either); otherwise the error a request would get.
uint8_t Module::supports(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const {
    const bool wantSet = flags & 0x80, wantGet = flags & 0x40;
    auto check = [&](bool get, bool set) -> uint8_t {
        if ((wantSet && !set) || (wantGet && !get) || (!get && !set))
            return kErrInvalidOption;
        return 0;
    };
    if (index != 0)
        return kErrIndexRange;
    switch (command) {
        case kCmdSystem:
            if (option == 0xFF)
                return 0;
            return check(systemHas(option, false), systemHas(option, true));
        case kCmdUpgrade:
            if (option == 0xFF)
                return 0;
            return check(false, option == kUpgradeUeiOption && config_.ueiData);
        case kCmdStream:
            if (option == 0xFF)
                return 0;
            return check(option == 1, option == 1 || option == 2);
        case kCmdStore:
            if (option == 0xFF)
                return 0;
            return check(false, option <= 2);
        default:
            return kErrInvalidEntity;
    }
}

void Module::handleUei(const Packet& packet, LinkState& link, Outcome& out) {
    const auto& d = packet.data;
    if (d.size() < 3)
        return;
    const uint8_t op = d[1] & uei::kOpMask, option = d[1] & 0x3F, index = d[2] & 0x1F;
    const uint8_t a = packet.address, command = d[0];
    if (op == uei::kOpReport || op == uei::kOpAck) {
        counters_.inc("ignored_packets");
        return;
    }
    const uint8_t answerOption =
        op == uei::kOpGet ? option : static_cast<uint8_t>(option | uei::kOpAck);
    auto fail = [&](uint8_t code) {
        counters_.inc("uei_errors");
        out.replies.push_back(uei::error(a, command, answerOption, index, code));
    };
    counters_.inc(op == uei::kOpGet ? "uei_gets" : "uei_sets");
    uint8_t code = supports(command, option, index, op == uei::kOpGet ? 0x40 : 0x80);
    if (code)
        return fail(code);
    switch (command) {
        case kCmdSystem:
            return handleSystem(packet, link, out);
        case kCmdStream:
            return handleStream(packet, link, out);
        case kCmdStore:
            if (d.size() != 7)
                return fail(kErrSize);
            counters_.inc("store_entity_requests");
            out.replies.push_back(uei::ack(a, command, option, index));
            return;
        case kCmdUpgrade: {
            if (d.size() < 4)
                return fail(kErrShortCommand);
            auto result = assembler_.feed(packet);
            if (result == uei::ByteArrayAssembler::Result::BadSequence)
                return fail(kErrPacket);
            if (result == uei::ByteArrayAssembler::Result::More)
                return;
            counters_.inc("uei_data_transfers");
            bootLoader_.acceptBlockBytes(assembler_.take());
            out.replies.push_back(uei::ack(a, command, option, index));
            return;
        }
        default:
            return fail(kErrInvalidEntity);
    }
}

void Module::handleSystem(const Packet& packet, LinkState& link, Outcome& out) {
    const auto& d = packet.data;
    const uint8_t op = d[1] & uei::kOpMask, option = d[1] & 0x3F, index = d[2] & 0x1F;
    const uint8_t a = packet.address;
    const SystemOption* desc = findSystemOption(option);
    uint8_t error = 0;
    if (op == uei::kOpGet) {
        if (desc->width == 5) {  // the name
            std::vector<uint8_t> bytes(name_.begin(), name_.end());
            for (Packet& p : uei::byteArray(a, kCmdSystem, option, index, bytes, link.chunk))
                out.replies.push_back(std::move(p));
            return;
        }
        unsigned width = 0;
        uint32_t value = 0;
        uint8_t subindex = d.size() >= 4 ? d[3] : 0;
        if (!systemGet(option, subindex, width, value, error)) {
            counters_.inc("uei_errors");
            out.replies.push_back(uei::error(a, kCmdSystem, option, index, error));
            return;
        }
        out.replies.push_back(uei::report(a, kCmdSystem, option, index, width, value));
        return;
    }
    // Set or call.
    auto fail = [&](uint8_t code) {
        counters_.inc("uei_errors");
        out.replies.push_back(
            uei::error(a, kCmdSystem, static_cast<uint8_t>(option | uei::kOpAck), index, code));
    };
    if (desc->width == 5) {
        if (d.size() < 4)
            return fail(kErrShortCommand);
        auto result = assembler_.feed(packet);
        if (result == uei::ByteArrayAssembler::Result::BadSequence)
            return fail(kErrPacket);
        if (result == uei::ByteArrayAssembler::Result::More)
            return;
        auto bytes = assembler_.take();
        if (bytes.size() > kMaxName)
            return fail(kErrSize);
        name_.assign(bytes.begin(), bytes.end());
        out.replies.push_back(uei::ack(a, kCmdSystem, option, index));
        return;
    }
    uint32_t value = 0;
    std::size_t width = d.size() - 3;
    if (desc->width != 0) {
        if (width == 1)
            value = d[3];
        else if (width == 2)
            value = getBE16(&d[3]);
        else if (width == 4)
            value = getBE32(&d[3]);
        else
            return fail(kErrSize);
    }
    out.replies.push_back(uei::ack(a, kCmdSystem, option, index));
    if (!systemSet(option, value, link, out, error)) {
        out.replies.pop_back();
        return fail(error);
    }
}

bool Module::systemGet(uint8_t option, uint8_t subindex, unsigned& width, uint32_t& value,
                       uint8_t& error) {
    width = findSystemOption(option)->width;
    switch (option) {
        case 1:
            value = config_.address;
            break;
        case 7:
            value = version_;
            break;
        case 8:
            value = config_.model;
            break;
        case 9:
            value = config_.serial;
            break;
        case 12:
            value = 5000000;
            break;  // input voltage, microvolts
        case 13:
            value = 0;
            break;  // hardware offset
        case 14:
            value = config_.address;
            break;  // base address
        case 16:
            value = router_ ? router_->address() : config_.address;
            break;
        case 21:
            value = 250000 + static_cast<uint32_t>(uptimeUs() / 1000 % 1000);
            break;
        case 22:
            value = static_cast<uint32_t>(uptimeUs() / 1000000);
            break;
        case 23:
            value = 45000000;
            break;  // temperatures, micro-degrees
        case 27:
            value = 31000000 + static_cast<uint32_t>(uptimeUs() / 1000 % 1000);
            break;
        case 28:
            value = 20000000;
            break;
        case 29:
            value = 1;
            break;
        case 39:
            if (subindex > 3) {
                error = kErrRange;
                return false;
            }
            value = config_.ids[subindex];
            break;
        case 40:
            value = 0x00010000;
            break;
        case 41:
            value = 0;
            break;
        case 43:
            value = build_;
            break;
        case 45:
            value = config_.features;
            break;
        default:
            value = settings_[option];
            break;
    }
    return true;
}

bool Module::systemSet(uint8_t option, uint32_t value, LinkState& link, Outcome& out,
                       uint8_t& error) {
    switch (option) {
        case 2:
        case 4:
        case 6:
        case 15:
        case 38:
        case 42:
            settings_[option] = value & 0xFF;
            return true;
        case 3:
            settings_[3] = value & 0xFF;
            heartbeatMs_ = static_cast<int>(value & 0xFF) * 100;
            return true;
        case 20:
            if (value > 1) {
                error = kErrRange;
                return false;
            }
            link.routeToMe = value != 0;
            counters_.inc(value ? "route_to_me_on" : "route_to_me_off");
            return true;
        case 10:
        case 24:
            counters_.inc(option == 10 ? "saves" : "log_events");
            return true;
        case 37:
            counters_.inc("factory_resets");
            name_ = config_.displayName();
            return true;
        case 11:
            counters_.inc("resets");
            out.action = Outcome::Action::Restart;
            out.applyImage = true;
            out.comeBackMs = config_.rebootMs;
            return true;
        default:
            error = kErrInvalidOption;
            return false;
    }
}

void Module::handleStream(const Packet& packet, LinkState& link, Outcome& out) {
    const auto& d = packet.data;
    const uint8_t op = d[1] & uei::kOpMask, option = d[1] & 0x3F, index = d[2] & 0x1F;
    const uint8_t a = packet.address;
    if (op == uei::kOpGet) {
        out.replies.push_back(
            uei::report(a, kCmdStream, option, index, 1, link.subscriptions.empty() ? 0 : 1));
        return;
    }
    if (d.size() != 7) {
        out.replies.push_back(
            uei::error(a, kCmdStream, static_cast<uint8_t>(option | uei::kOpAck), index, kErrSize));
        return;
    }
    uint32_t key = getBE32(&d[3]);
    if (option == 1) {
        link.subscriptions.insert(key);
        counters_.inc("stream_subscriptions");
    } else {
        // Unsubscribing removes the key and everything it covers.
        for (auto it = link.subscriptions.begin(); it != link.subscriptions.end();) {
            bool sameEntity = (*it >> 8) >> 8 == (key >> 8) >> 8 && (*it & 0xFF) == (key & 0xFF);
            bool covered = *it == key || (sameEntity && ((key >> 8) & 0xFF) == 0xFF);
            it = covered ? link.subscriptions.erase(it) : std::next(it);
        }
    }
    out.replies.push_back(uei::ack(a, kCmdStream, option, index));
}

std::vector<Packet> Module::streamSamples(uint32_t key, uint8_t replyAddress) {
    std::vector<Packet> out;
    const uint8_t command = key >> 16 & 0xFF, option = key >> 8 & 0xFF, index = key & 0xFF;
    if (command != kCmdSystem || (index != 0 && index != 0xFF))
        return out;
    std::vector<uint8_t> options;
    if (option == 0xFF)
        options.assign(std::begin(kStreamedOptions), std::end(kStreamedOptions));
    else if (systemHas(option, false) && findSystemOption(option)->width != 5 && option != 39)
        options.push_back(option);
    const uint64_t ts = uptimeUs();
    for (uint8_t o : options) {
        unsigned width = 0;
        uint32_t value = 0;
        uint8_t error = 0;
        if (!systemGet(o, 0, width, value, error) || width == 0)
            continue;
        uint8_t type = width == 1 ? 1 : width == 2 ? 2 : 3;
        std::vector<uint8_t> d{kCmdSystem, o, static_cast<uint8_t>(uei::kSpecStream), type};
        putBE32(d, static_cast<uint32_t>(ts >> 32));
        putBE32(d, static_cast<uint32_t>(ts));
        if (width == 1)
            d.push_back(static_cast<uint8_t>(value));
        if (width == 2)
            putBE16(d, static_cast<uint16_t>(value));
        if (width == 4)
            putBE32(d, value);
        d.push_back(0);
        out.emplace_back(replyAddress, std::move(d));
        counters_.inc("stream_samples");
    }
    return out;
}

}  // namespace modsim
