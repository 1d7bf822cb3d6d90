#include "update-server/protocol.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "update-server/token.h"

namespace update_server {
namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

// Splits "k1=v1&k2=v2&" into pairs. Returns an error text, or "" on success.
std::string SplitQuery(const std::string& query, Params& params) {
    if (query.empty()) {
        return "no query";
    }
    if (query.back() != '&') {
        return "query does not end with &";
    }
    size_t start = 0;
    while (start < query.size()) {
        const size_t amp = query.find('&', start);
        const std::string piece = query.substr(start, amp - start);
        start = amp + 1;
        if (piece.empty()) {
            return "empty parameter";
        }
        const size_t eq = piece.find('=');
        if (eq == std::string::npos || eq == 0) {
            return "malformed parameter " + piece;
        }
        params.emplace_back(piece.substr(0, eq), piece.substr(eq + 1));
    }
    return "";
}

bool IsUpperHex8(const std::string& text) {
    return text.size() == 8 && text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

std::string Hex8(unsigned value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

Answer Fail(const std::string& op, const std::string& reason) {
    Answer answer;
    answer.op = op;
    answer.body = "error " + reason + "\n";
    return answer;
}

Answer Ok(const std::string& op, const std::string& rest) {
    Answer answer;
    answer.op = op;
    answer.ok = true;
    answer.body = "ok\n" + rest;
    return answer;
}

// The keys of each operation, in the ascending order the client sends them.
const std::map<std::string, std::vector<std::string>>& Operations() {
    static const std::map<std::string, std::vector<std::string>> operations = {
        {"hi", {"op", "rv"}},
        {"qu", {"op", "sn"}},
        {"bird", {"bld", "fw", "no_cal", "op", "sn"}},
        {"builds", {"op", "sn"}},
        {"fix", {"brief", "fp", "op"}},
        {"ent_jwt", {"json", "op", "sn"}},
    };
    return operations;
}

}  // namespace

std::string QueryOp(const std::string& query) {
    // Lenient on purpose: a malformed query still counts under its op.
    size_t start = 0;
    while (start <= query.size()) {
        const size_t amp = std::min(query.find('&', start), query.size());
        if (query.compare(start, 3, "op=") == 0) {
            return query.substr(start + 3, amp - start - 3);
        }
        start = amp + 1;
    }
    return "";
}

Protocol::Protocol(const Catalogue& catalogue, std::string tokenKey,
                   std::function<std::time_t()> clock)
    : catalogue_(catalogue), tokenKey_(std::move(tokenKey)), clock_(std::move(clock)) {}

Answer Protocol::Handle(const std::string& query) const {
    Params list;
    const std::string op = QueryOp(query);
    const std::string splitError = SplitQuery(query, list);
    if (!splitError.empty()) {
        return Fail(op, splitError);
    }
    std::map<std::string, std::string> params;
    for (size_t i = 0; i < list.size(); ++i) {
        const std::string& key = list[i].first;
        if (i > 0 && key == list[i - 1].first) {
            return Fail(op, "parameter " + key + " given twice");
        }
        if (i > 0 && key < list[i - 1].first) {
            return Fail(op, "parameters out of order: " + key + " after " + list[i - 1].first);
        }
        params[key] = list[i].second;
    }
    if (params.count("op") == 0) {
        return Fail(op, "missing parameter op");
    }
    const auto known = Operations().find(op);
    if (known == Operations().end()) {
        return Fail(op, "unknown op " + op);
    }
    for (const std::string& key : known->second) {
        if (params.count(key) == 0) {
            return Fail(op, "missing parameter " + key);
        }
    }
    for (const auto& [key, value] : params) {
        if (std::find(known->second.begin(), known->second.end(), key) == known->second.end()) {
            return Fail(op, "unexpected parameter " + key);
        }
    }

    if (op == "hi") {
        if (params["rv"] != "2") {
            return Fail(op, "unsupported rv " + params["rv"]);
        }
        return Ok(op, "");
    }

    if (op == "fix") {
        if (params["brief"] != "true") {
            return Fail(op, "unsupported brief " + params["brief"]);
        }
        const std::string& text = params["fp"];
        Fingerprint fingerprint{};
        bool wellFormed = text.size() == 4 * 8 + 3 * 3;
        for (size_t i = 0; wellFormed && i < 4; ++i) {
            const std::string word = text.substr(i * 11, 8);
            wellFormed = IsUpperHex8(word) && (i == 3 || text.compare(i * 11 + 8, 3, "%20") == 0);
            if (wellFormed) {
                fingerprint[i] = static_cast<uint32_t>(std::stoul(word, nullptr, 16));
            }
        }
        if (!wellFormed) {
            return Fail(op, "malformed fingerprint " + text);
        }
        const Module* module = catalogue_.FindModule(fingerprint);
        if (module == nullptr) {
            return Fail(op, "unknown fingerprint " + text);
        }
        const Build* build = catalogue_.RecoveryFor(*module);
        if (build == nullptr) {
            return Fail(op, "no builds for " + Hex8(module->serial));
        }
        return Ok(op, Hex8(module->serial) + "\n" + std::to_string(build->identity.build) + "\n");
    }

    // Every other operation names a module by its serial number.
    const std::string& sn = params["sn"];
    if (!IsUpperHex8(sn)) {
        return Fail(op, "malformed serial " + sn);
    }
    const Module* module =
        catalogue_.FindModule(static_cast<unsigned>(std::stoul(sn, nullptr, 16)));
    if (module == nullptr) {
        return Fail(op, "unknown serial " + sn);
    }

    if (op == "qu") {
        const Build* latest = catalogue_.LatestFor(*module);
        if (latest == nullptr) {
            return Fail(op, "no builds for " + sn);
        }
        return Ok(op, std::to_string(latest->identity.build) + "\n" +
                          Catalogue::FirmwareName(*module) + "\n");
    }

    if (op == "builds") {
        std::string lines;
        for (const Build* build : catalogue_.BuildsFor(*module)) {
            lines += std::to_string(build->identity.build) + ";" + build->identity.version + "\n";
        }
        return Ok(op, lines);
    }

    if (op == "bird") {
        const std::string& bld = params["bld"];
        if (bld.empty() || bld.size() > 10 || bld[0] == '0' ||
            bld.find_first_not_of("0123456789") != std::string::npos ||
            std::stoull(bld) > 0xFFFFFFFFull) {
            return Fail(op, "malformed build " + bld);
        }
        if (params["no_cal"] != "true" && params["no_cal"] != "false") {
            return Fail(op, "unsupported no_cal " + params["no_cal"]);
        }
        if (params["fw"] != Catalogue::FirmwareName(*module)) {
            return Fail(op, "unknown firmware " + params["fw"] + " for " + sn);
        }
        const unsigned number = static_cast<unsigned>(std::stoul(bld));
        const Build* build = catalogue_.FindBuild(number);
        if (build == nullptr) {
            return Fail(op, "unknown build " + bld);
        }
        const auto& builds = module->builds;
        if (std::find(builds.begin(), builds.end(), number) == builds.end()) {
            return Fail(op, "build " + bld + " is not for " + sn);
        }
        Answer answer = Ok(op, Base64(build->bytes.data(), build->bytes.size()) + "\n");
        answer.birdFile = true;
        return answer;
    }

    // ent_jwt
    if (params["json"] != "false") {
        return Fail(op, "unsupported json " + params["json"]);
    }
    if (tokenKey_.empty()) {
        return Fail(op, "no token key configured");
    }
    const nlohmann::json payload = {
        {"sn", sn},
        {"model", module->model},
        {"features", module->features},
        {"iat", static_cast<long long>(clock_())},
    };
    return Ok(op, MakeToken(tokenKey_, payload.dump()) + "\n");
}

}  // namespace update_server
