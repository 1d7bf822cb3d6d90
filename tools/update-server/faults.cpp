#include "update-server/faults.h"

namespace update_server {
namespace {

bool ParseNumber(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::stol(text);
    return value >= low && value <= high;
}

}  // namespace

std::string AddFault(Faults& faults, const std::string& spec) {
    const size_t eq = spec.find('=');
    const std::string name = spec.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : spec.substr(eq + 1);
    const bool hasValue = eq != std::string::npos;
    long number = 0;
    if (name == "status") {
        if (!ParseNumber(value, 200, 599, number)) {
            return "status= takes an HTTP status from 200 to 599";
        }
        faults.status = static_cast<int>(number);
    } else if (name == "slow") {
        if (value == "forever") {
            faults.stall = true;
        } else if (ParseNumber(value, 0, 3600000, number)) {
            faults.slowMs = number;
        } else {
            return "slow= takes milliseconds (0 to 3600000) or forever";
        }
    } else if (hasValue) {
        return "fault " + name + " takes no value";
    } else if (name == "no-ok") {
        faults.noOk = true;
    } else if (name == "truncate") {
        faults.truncate = true;
    } else if (name == "redirect") {
        faults.redirect = true;
    } else if (name == "bad-base64") {
        faults.badBase64 = true;
    } else {
        return "unknown fault " + spec;
    }
    return "";
}

std::string AddFaultOp(Faults& faults, const std::string& op) {
    static const std::set<std::string> known = {"hi", "qu", "bird", "builds", "fix", "ent_jwt"};
    if (known.count(op) == 0) {
        return "unknown op " + op + " (hi, qu, bird, builds, fix or ent_jwt)";
    }
    faults.ops.insert(op);
    return "";
}

void ApplyBodyFaults(const Faults& faults, Answer& answer) {
    if (faults.badBase64 && answer.birdFile) {
        // Line 2 loses its last character: its length is no longer a multiple
        // of four, which no Base64 decoder accepts.
        const size_t end = answer.body.find('\n', 3);
        if (end != std::string::npos && end > 3) {
            answer.body.erase(end - 1, 1);
        }
    }
    if (faults.noOk && answer.body.compare(0, 2, "ok") == 0) {
        answer.body.replace(0, 2, "OK");
    }
}

}  // namespace update_server
