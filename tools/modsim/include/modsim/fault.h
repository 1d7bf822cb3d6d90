// Faults a simulated module can be told to inject.
//
// A fault is written KIND[:ARG][@N]. @N fires it on the Nth occurrence of its
// trigger only (default @1), @* on every occurrence.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace modsim {

// The requests of the upgrade conversation, and a few others, by name.
enum class Phase { Init, Data, Load, Prepare, Sum, Write, Reboot, UeiData, Any, Count };
const char* phaseName(Phase phase);
bool parsePhase(const std::string& text, Phase& phase);

struct Fault {
    enum class Kind {
        DropAfter,      // drop-after:N   drop the link after N packets received
        DropIn,         // drop-in:PHASE  drop the link instead of answering that request
        Corrupt,        // corrupt[:OFFSET]  flip a byte of an outgoing packet on the line
        Ignore,         // ignore:PHASE   leave that request unanswered
        Delay,          // delay:MS       hold every answer back for MS milliseconds
        BadDataCount,   // bad-data-count  a DATA reply reports one byte less, bytes dropped
        BadSum,         // bad-sum        a SUM reply reports the sum plus one
        PrepareStatus,  // prepare-status:S  a PREPARE reply carries status S
        WriteStatus,    // write-status:S    a WRITE reply carries status S (nothing written)
        BlockSizeZero,  // block-size-0   PREPARE reports a block size of 0
        Busy,           // busy           refuse a second connection while one is open
        NoReturn,       // no-return      never come back after REBOOT
    };
    Kind kind;
    Phase phase = Phase::Any;
    uint32_t arg = 0;
    bool hasArg = false;
    unsigned nth = 1;  // 0: every occurrence
    unsigned seen = 0;
    unsigned fired = 0;

    std::string text;  // as given, for the state file
};

// Parses one fault; throws std::invalid_argument with a readable message.
Fault parseFault(const std::string& text);

class FaultPlan {
  public:
    void add(Fault fault) { faults_.push_back(std::move(fault)); }
    bool empty() const { return faults_.empty(); }

    // Counts one occurrence of the trigger for every fault of `kind` (and of
    // `phase`, for the phase-bound kinds) and returns the one that fires now.
    Fault* trigger(Fault::Kind kind, Phase phase = Phase::Any);
    // A fault of that kind is configured (for always-on kinds: busy, delay...).
    const Fault* find(Fault::Kind kind) const;
    const std::vector<Fault>& faults() const { return faults_; }

  private:
    std::vector<Fault> faults_;
};

}  // namespace modsim
