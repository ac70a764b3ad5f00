// How a soak connection judges one reply, and the counters it keeps.
#include <climits>

#include "bench/soak/soak.h"
#include "tests/integration/keykit/keykit.h"

namespace soak {

namespace {

constexpr int kPending = -63;  // LoopVerify: no outcome yet
constexpr int kCanceled = 5;   // CancelVerify always

Verdict bad(std::string& why, const std::string& what) {
    why = what;
    return Verdict::BadResult;
}

bool isUpperHex(const std::string& s) {
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    return !s.empty() && s.size() % 2 == 0;
}

}  // namespace

std::string replyId(const Json::Value& reply) {
    if (!reply.isObject() || !reply.isMember("randomId") || !reply["randomId"].isString())
        return std::string();
    return reply["randomId"].asString();
}

bool expectedCode(const std::string& function, int code) {
    if (function == "LoopVerify") return code == 0 || code == kPending;
    if (function == "CancelVerify") return code == kCanceled;
    return code == 0;
}

Verdict judge(const Pending& p, const Reference& ref, const Json::Value& reply, int& code,
              std::string& why) {
    code = INT_MIN;
    why.clear();
    if (!reply.isObject() || !reply["reterr"].isInt() || !reply.isMember("result"))
        return bad(why, "malformed reply");
    code = reply["reterr"].asInt();
    if (reply["function"] != p.function) return bad(why, "reply names another function");
    if (!expectedCode(p.function, code)) {
        why = "reterr " + std::to_string(code);
        return Verdict::Unexpected;
    }
    const Json::Value& r = reply["result"];
    if (code != 0) return Verdict::Ok;  // an expected code: its message is the table's business

    if (!p.expectText.empty()) {
        if (!r.isString() || r.asString() != p.expectText) return bad(why, "wrong result text");
        return Verdict::Ok;
    }
    if (p.function == "GetDevInfo") {
        const unsigned want = p.level <= 2   ? 2u
                              : p.level >= 5 ? 5u
                                             : static_cast<unsigned>(p.level);
        if (!r.isArray() || r.size() != want) return bad(why, "wrong information count");
        if (r[0] != ref.serial || !r[1].isInt()) return bad(why, "wrong serial or type");
        // Within two seconds of a query at a lower level the daemon answers
        // from its cache, which holds only that level's items: the others
        // come back empty, but always as a tail.
        bool tail = false;
        for (unsigned i = 2; i < want; ++i) {
            if (!r[i].isString()) return bad(why, "information item is no text");
            const std::string item = r[i].asString();
            if (item.empty()) {
                tail = true;
                continue;
            }
            if (tail) return bad(why, "information item after an empty one");
            if (i == 2 && item != ref.label) return bad(why, "wrong label");
            if (i == 3 && item != ref.devPub) return bad(why, "wrong device key");
        }
        return Verdict::Ok;
    }
    if (p.function == "GetClientID") {
        if (r != ref.label) return bad(why, "wrong label");
        return Verdict::Ok;
    }
    if (p.function == "GetUserList") {
        if (!r.isArray() || r.size() != 2 || !r[0].isInt() || !r[1].isArray() ||
            r[0].asInt() != static_cast<int>(r[1].size()))
            return bad(why, "malformed user list");
        for (const Json::Value& name : r[1])
            if (name == ref.user) return Verdict::Ok;
        return bad(why, "enrolled user missing");
    }
    if (p.function == "EnumDevice") {
        if (!r.isArray() || r.size() != 2 || r[0] != 1 || !r[1].isArray() || r[1].size() != 1)
            return bad(why, "wrong key list");
        return Verdict::Ok;
    }
    if (p.function == "FactorySign" || p.function == "DeviceSign") {
        if (!r.isString() || !isUpperHex(r.asString())) return bad(why, "signature is no hex");
        if (p.verifySignature) {
            const std::string& pub = p.function == "FactorySign" ? ref.facPub : ref.devPub;
            if (!keykit::sm2VerifyDer(keykit::fromHex(pub), p.signedMessage,
                                      keykit::fromHex(r.asString())))
                return bad(why, "signature does not verify");
        }
        return Verdict::Ok;
    }
    if (p.function == "startVerify" || p.function == "LoopVerify") {
        if (!r.isNull()) return bad(why, "result is not null");
        return Verdict::Ok;
    }
    return bad(why, "no check for this command");
}

Waiting::Match Waiting::take(const std::string& id, Pending& out, size_t& slot) {
    if (id.empty()) return Match::Unasked;
    for (size_t i = 0; i < q_.size(); ++i) {
        if (q_[i].second.id != id) continue;
        slot = q_[i].first;
        out = std::move(q_[i].second);
        q_.erase(q_.begin() + static_cast<long>(i));
        return i == 0 ? Match::InOrder : Match::OutOfOrder;
    }
    return Match::Unasked;
}

void Tally::note(const std::string& problem) {
    if (firstProblems.size() < 12) firstProblems.push_back(problem);
}

void Tally::add(const Tally& o) {
    sent += o.sent;
    answered += o.answered;
    outOfOrder += o.outOfOrder;
    unasked += o.unasked;
    missing += o.missing;
    unexpected += o.unexpected;
    badResults += o.badResults;
    reconnects += o.reconnects;
    connectFailures += o.connectFailures;
    pollCycles += o.pollCycles;
    pollsMatched += o.pollsMatched;
    pollsAbandoned += o.pollsAbandoned;
    signaturesVerified += o.signaturesVerified;
    leftUnread += o.leftUnread;
    handshakes += o.handshakes;
    handshakeUs.first += o.handshakeUs.first;
    if (o.handshakeUs.second > handshakeUs.second) handshakeUs.second = o.handshakeUs.second;
    for (const auto& [k, n] : o.codes)
        codes[k] += n;
    for (const auto& [f, l] : o.latency) {
        auto& mine = latency[f];
        mine.first += l.first;
        if (l.second > mine.second) mine.second = l.second;
    }
    for (const std::string& p : o.firstProblems)
        note(p);
}

}  // namespace soak
