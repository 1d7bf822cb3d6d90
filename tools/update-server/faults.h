// Ways the update server can be told to misbehave, for testing clients.
#ifndef UPDATE_SERVER_FAULTS_H
#define UPDATE_SERVER_FAULTS_H

#include <set>
#include <string>

#include "update-server/protocol.h"

namespace update_server {

struct Faults {
    int status = 0;             // status=N: answer with this HTTP status (0: as usual)
    bool noOk = false;          // no-ok: the first line reads "OK" instead of "ok"
    long slowMs = 0;            // slow=MS: wait this long before answering
    bool stall = false;         // slow=forever: never answer; wait for the client to give up
    bool truncate = false;      // truncate: send half the body, then close the connection
    bool redirect = false;      // redirect: 302 to the same target under /moved
    bool badBase64 = false;     // bad-base64: a bird answer whose Base64 cannot be decoded
    std::set<std::string> ops;  // --fault-op: only these operations misbehave

    bool AppliesTo(const std::string& op) const { return ops.empty() || ops.count(op) != 0; }
};

// Adds one --fault SPEC. Returns "" or the reason the spec is refused.
std::string AddFault(Faults& faults, const std::string& spec);
// Adds one --fault-op OP. Returns "" or the reason the name is refused.
std::string AddFaultOp(Faults& faults, const std::string& op);

// Applies the faults that change the answer's text (no-ok, bad-base64).
void ApplyBodyFaults(const Faults& faults, Answer& answer);

}  // namespace update_server

#endif
