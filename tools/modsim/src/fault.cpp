#include "modsim/fault.h"

#include <stdexcept>

namespace modsim {

namespace {

const char* const kPhaseNames[] = {"init",  "data",   "load",     "prepare", "sum",
                                   "write", "reboot", "uei-data", "any"};

uint32_t parseNumber(const std::string& text, const std::string& what) {
    try {
        std::size_t used = 0;
        unsigned long value = std::stoul(text, &used, 0);
        if (used != text.size() || value > 0xFFFFFFFFul)
            throw std::invalid_argument(text);
        return static_cast<uint32_t>(value);
    } catch (const std::exception&) {
        throw std::invalid_argument("bad number '" + text + "' in " + what);
    }
}

}  // namespace

const char* phaseName(Phase phase) {
    return kPhaseNames[static_cast<int>(phase)];
}

bool parsePhase(const std::string& text, Phase& phase) {
    for (int i = 0; i < static_cast<int>(Phase::Count); ++i) {
        if (text == kPhaseNames[i]) {
            phase = static_cast<Phase>(i);
            return true;
        }
    }
    return false;
}

Fault parseFault(const std::string& text) {
    struct Entry {
        const char* name;
        Fault::Kind kind;
        enum { None, Optional, Number, PhaseArg } arg;
    };
    static const Entry kEntries[] = {
        {"drop-after", Fault::Kind::DropAfter, Entry::Number},
        {"drop-in", Fault::Kind::DropIn, Entry::PhaseArg},
        {"corrupt", Fault::Kind::Corrupt, Entry::Optional},
        {"ignore", Fault::Kind::Ignore, Entry::PhaseArg},
        {"delay", Fault::Kind::Delay, Entry::Number},
        {"bad-data-count", Fault::Kind::BadDataCount, Entry::None},
        {"bad-sum", Fault::Kind::BadSum, Entry::None},
        {"prepare-status", Fault::Kind::PrepareStatus, Entry::Number},
        {"write-status", Fault::Kind::WriteStatus, Entry::Number},
        {"block-size-0", Fault::Kind::BlockSizeZero, Entry::None},
        {"busy", Fault::Kind::Busy, Entry::None},
        {"no-return", Fault::Kind::NoReturn, Entry::None},
    };
    std::string body = text;
    Fault fault{};
    fault.text = text;
    fault.nth = 1;
    if (auto at = body.find('@'); at != std::string::npos) {
        std::string count = body.substr(at + 1);
        body.resize(at);
        fault.nth = count == "*" ? 0 : parseNumber(count, text);
        if (count != "*" && fault.nth == 0)
            throw std::invalid_argument("@0 in fault " + text);
    }
    std::string name = body, arg;
    bool hasArg = false;
    if (auto colon = body.find(':'); colon != std::string::npos) {
        name = body.substr(0, colon);
        arg = body.substr(colon + 1);
        hasArg = true;
    }
    for (const Entry& e : kEntries) {
        if (name != e.name)
            continue;
        fault.kind = e.kind;
        switch (e.arg) {
            case Entry::None:
                if (hasArg)
                    throw std::invalid_argument("fault " + name + " takes no argument");
                break;
            case Entry::Optional:
                if (hasArg) {
                    fault.arg = parseNumber(arg, text);
                    fault.hasArg = true;
                }
                break;
            case Entry::Number:
                if (!hasArg)
                    throw std::invalid_argument("fault " + name + " needs :NUMBER");
                fault.arg = parseNumber(arg, text);
                fault.hasArg = true;
                break;
            case Entry::PhaseArg:
                if (!hasArg || !parsePhase(arg, fault.phase))
                    throw std::invalid_argument("fault " + name +
                                                " needs :PHASE (init, data, load, prepare, sum, "
                                                "write, reboot, uei-data, any)");
                break;
        }
        return fault;
    }
    throw std::invalid_argument("unknown fault '" + name + "'");
}

Fault* FaultPlan::trigger(Fault::Kind kind, Phase phase) {
    Fault* hit = nullptr;
    for (Fault& f : faults_) {
        if (f.kind != kind)
            continue;
        if ((kind == Fault::Kind::DropIn || kind == Fault::Kind::Ignore) && f.phase != Phase::Any &&
            f.phase != phase)
            continue;
        ++f.seen;
        bool fires = f.nth == 0 || f.seen == f.nth;
        if (kind == Fault::Kind::DropAfter)
            fires = f.arg != 0 && (f.nth == 0 ? f.seen % f.arg == 0 : f.seen == f.arg);
        if (fires && !hit) {
            ++f.fired;
            hit = &f;
        }
    }
    return hit;
}

const Fault* FaultPlan::find(Fault::Kind kind) const {
    for (const Fault& f : faults_)
        if (f.kind == kind)
            return &f;
    return nullptr;
}

}  // namespace modsim
