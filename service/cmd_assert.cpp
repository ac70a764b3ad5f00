// The assertion: a statement a web server can trust. The user is shown the
// site and the text (desktop and page), a fresh touch of an enrolled finger
// confirms it, and that finger's key signs the exact clientData: type,
// origin (the connection's, never the page's word), challenge, text, user,
// finger, record, serial, and where the question was shown.
#include <cstring>
#include <string>

#include "app/app.h"
#include "service/endpoint.h"
#include "service/handlers.h"
#include "service/params.h"
#include "service/service.h"
#include "service/writer.h"
#include "util/util.h"

namespace {

constexpr size_t kChallengeMin = 16;
constexpr size_t kChallengeMax = 512;
constexpr size_t kTextMax = 256;

// A server's single-use value: visible ASCII only, so that no two spellings
// of one challenge exist.
bool isChallenge(const std::string& c) {
    if (c.size() < kChallengeMin || c.size() > kChallengeMax) return false;
    for (char ch : c)
        if (ch < 0x21 || ch > 0x7E) return false;
    return true;
}

// What the user reads: valid UTF-8 without control characters (C0, DEL, C1).
bool isShownText(const std::string& t) {
    if (t.size() > kTextMax || !isUtf8(t.data(), t.size())) return false;
    for (size_t i = 0; i < t.size(); ++i) {
        const auto b = static_cast<unsigned char>(t[i]);
        if (b < 0x20 || b == 0x7F) return false;
        if (b == 0xC2 && i + 1 < t.size() && static_cast<unsigned char>(t[i + 1]) < 0xA0)
            return false;
    }
    return true;
}

std::string member(const char* name, const std::string& value) {
    std::string out = std::string(",\"") + name + "\":";
    quoteJson(value, out);
    return out;
}

// The answer once the user touched (or did not): signs and replies.
void answer(uint64_t clientId, const std::string& function, const std::string& randomId,
            const std::string& origin, const std::string& challenge, const std::string& text,
            int code, int matched, bool desktop) {
    std::string reply;
    if (code == 0 && matched <= 0) code = kFailed;
    Json::Value result(Json::arrayValue);
    if (code == 0) {
        std::lock_guard<std::mutex> session(CNvId::sessionLock());
        cxBuf::init(0);
        CNvId::FingerIdentity who;
        code = CNvId::fingerOfTemplate(matched, who);
        char serial[128] = {};
        int serialLength = sizeof serial - 1;
        if (code == 0) code = CNvId::getSN(serial, &serialLength);
        std::string data = "{\"type\":\"fpkey.assert\"";
        data += member("origin", origin) + member("challenge", challenge) + member("text", text) +
                member("user", who.user) + ",\"finger\":" + std::to_string(who.finger) +
                member("record", who.record) + member("serial", serial) +
                member("shown", desktop ? "desktop" : "page") + "}";
        uint8_t* out = cxBuf::mal(256);
        if (code == 0)
            code = CNvId::fingerKeySign(who.user, who.container,
                                        reinterpret_cast<const uint8_t*>(data.data()),
                                        static_cast<int>(data.size()), out);
        if (code == 0) {
            const int n = CNvId::packSign(out);
            result.append(data);
            result.append(std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(n)));
            result.append(who.publicKey);
        }
    }
    if (code != 0)
        makeJsonErr(reply, code, function, randomId);
    else
        makeJsonJV(reply, result, function, randomId);
    sendToClient(clientId, reply);
}

}  // namespace

int FingerAssert(const Json::Value& p) {
    if (!params::isArrayOf(p, 2) || !p[0].isString() || !p[1].isString()) return kBadParams;
    const std::string challenge = p[0].asString();
    const std::string text = p[1].asString();
    if (!isChallenge(challenge) || !isShownText(text)) return kBadParam;
    const Client* client = currentClient();
    Client local;
    if (!client) client = &local;
    // The origin comes from the connection's handshake; "local" for a
    // program that sent none.
    const std::string origin = client->site.empty() ? "local" : shownSite(client->site);
    askConfirmation(*client, origin, text, true,
                    [id = client->id, function = currentFunction(), randomId = currentRandomId(),
                     origin, challenge, text](int code, int matched, bool desktop) {
                        answer(id, function, randomId, origin, challenge, text, code, matched,
                               desktop);
                    });
    return 0;
}
