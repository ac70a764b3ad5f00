// The soak driver must not pass a run that went wrong: these cases feed its
// reply judge and its resource verdict with replies and samples of runs
// that did go wrong, next to ones that did not.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <climits>
#include <memory>
#include <set>

#include "bench/soak/soak.h"
#include "tests/integration/keykit/keykit.h"

using namespace soak;

namespace {

Json::Value parse(const std::string& text) {
    Json::Value out;
    std::string errors;
    std::unique_ptr<Json::CharReader> r(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &out, &errors)) << text;
    return out;
}

Json::Value reply(const std::string& function, int reterr, const Json::Value& result,
                  const std::string& id = "") {
    Json::Value r(Json::objectValue);
    r["function"] = function;
    if (!id.empty()) r["randomId"] = id;
    r["result"] = result;
    r["reterr"] = reterr;
    return r;
}

// An SM2 key of our own: its public half as 04 || X || Y, and signatures
// over SM3(Z || M) with the default signer ID, as the key makes them.
struct Signer {
    Signer() {
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
        uint8_t buf[65];
        size_t n = 0;
        if (key &&
            EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, buf, sizeof buf, &n))
            pub = keykit::toHex(keykit::Bytes(buf, buf + n));
    }
    ~Signer() { EVP_PKEY_free(key); }
    std::string signHex(const keykit::Bytes& msg) {
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(key, nullptr);
        std::string out;
        uint8_t sig[80];
        size_t n = sizeof sig;
        if (EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16) > 0) {
            EVP_MD_CTX_set_pkey_ctx(md, pctx);
            if (EVP_DigestSignInit(md, nullptr, EVP_sm3(), nullptr, key) == 1 &&
                EVP_DigestSign(md, sig, &n, msg.data(), msg.size()) == 1)
                out = keykit::toHex(keykit::Bytes(sig, sig + n));
        }
        EVP_MD_CTX_free(md);
        EVP_PKEY_CTX_free(pctx);
        return out;
    }
    EVP_PKEY* key = nullptr;
    std::string pub;
};

Reference reference(const std::string& facPub, const std::string& devPub) {
    Reference ref;
    ref.serial = "SN0001";
    ref.label = "soak key";
    ref.facPub = facPub;
    ref.devPub = devPub;
    ref.user = "soak";
    return ref;
}

Verdict judged(const Pending& p, const Reference& ref, const Json::Value& r,
               int* codeOut = nullptr) {
    int code = 0;
    std::string why;
    Verdict v = judge(p, ref, r, code, why);
    if (codeOut) *codeOut = code;
    return v;
}

}  // namespace

TEST(SoakJudge, ResultCodesPerCommand) {
    Signer s;
    ASSERT_EQ(s.pub.size(), 130u);
    const Reference ref = reference(s.pub, s.pub);
    Mix mix(ref, Weights(), 7, "t", 1);
    const Pending loop = mix.make("LoopVerify", Json::Value(Json::arrayValue));
    int code = 0;
    EXPECT_EQ(judged(loop, ref, reply("LoopVerify", -63, "not find this err"), &code), Verdict::Ok);
    EXPECT_EQ(code, -63);
    EXPECT_EQ(judged(loop, ref, reply("LoopVerify", 0, Json::Value())), Verdict::Ok);
    // A verification that timed out or failed is no outcome of this load.
    EXPECT_EQ(judged(loop, ref, reply("LoopVerify", 7, "time out")), Verdict::Unexpected);
    EXPECT_EQ(judged(loop, ref, reply("LoopVerify", 103, "x")), Verdict::Unexpected);
    // Matched, but with a result that is not null.
    EXPECT_EQ(judged(loop, ref, reply("LoopVerify", 0, "OK")), Verdict::BadResult);

    const Pending cancel = mix.make("CancelVerify", Json::Value(Json::arrayValue));
    EXPECT_EQ(judged(cancel, ref, reply("CancelVerify", 5, "user canceled")), Verdict::Ok);
    EXPECT_EQ(judged(cancel, ref, reply("CancelVerify", 0, Json::Value())), Verdict::Unexpected);

    const Pending version = mix.make("GetVersion", Json::Value(Json::objectValue));
    EXPECT_EQ(judged(version, ref, reply("GetVersion", 0, "")), Verdict::BadResult)
        << "no expected text set: an empty result must not pass";
    Pending v2 = version;
    v2.expectText = ref.version;
    EXPECT_EQ(judged(v2, ref, reply("GetVersion", 0, "1.0.1.32 MEBO")), Verdict::Ok);
    EXPECT_EQ(judged(v2, ref, reply("GetVersion", 0, "1.0.1.31 MEBO")), Verdict::BadResult);
    EXPECT_EQ(judged(v2, ref, reply("GetVersion", 102, "x")), Verdict::Unexpected);
    EXPECT_EQ(judged(v2, ref, reply("GetDevInfo", 0, "1.0.1.32 MEBO")), Verdict::BadResult)
        << "a reply naming another function";
    EXPECT_EQ(judged(v2, ref, Json::Value("text")), Verdict::BadResult);
    Json::Value noCode = reply("GetVersion", 0, "1.0.1.32 MEBO");
    noCode.removeMember("reterr");
    EXPECT_EQ(judged(v2, ref, noCode, &code), Verdict::BadResult);
    EXPECT_EQ(code, INT_MIN);
}

TEST(SoakJudge, InformationAgainstTheReference) {
    Signer s;
    const Reference ref = reference(s.pub, s.pub);
    Mix mix(ref, Weights(), 7, "t", 1);
    auto info = [&](int level) {
        Json::Value p(Json::arrayValue);
        p.append(level);
        Pending q = mix.make("GetDevInfo", p);
        q.level = level;
        return q;
    };
    Json::Value five(Json::arrayValue);
    five.append(ref.serial);
    five.append(3);
    five.append(ref.label);
    five.append(ref.devPub);
    five.append("meboBaseApp");
    EXPECT_EQ(judged(info(5), ref, reply("GetDevInfo", 0, five)), Verdict::Ok);
    EXPECT_EQ(judged(info(9), ref, reply("GetDevInfo", 0, five)), Verdict::Ok);  // capped at 5
    EXPECT_EQ(judged(info(4), ref, reply("GetDevInfo", 0, five)), Verdict::BadResult);
    // A cached answer of a lower level: the items it lacks are empty, at the end.
    Json::Value cached = five;
    cached[3] = "";
    cached[4] = "";
    EXPECT_EQ(judged(info(5), ref, reply("GetDevInfo", 0, cached)), Verdict::Ok);
    cached[4] = "meboBaseApp";
    EXPECT_EQ(judged(info(5), ref, reply("GetDevInfo", 0, cached)), Verdict::BadResult);
    cached[2] = "";
    cached[3] = ref.devPub;
    cached[4] = "";
    EXPECT_EQ(judged(info(5), ref, reply("GetDevInfo", 0, cached)), Verdict::BadResult);
    cached[3] = 7;
    EXPECT_EQ(judged(info(5), ref, reply("GetDevInfo", 0, cached)), Verdict::BadResult);
    Json::Value two(Json::arrayValue);
    two.append(ref.serial);
    two.append(3);
    EXPECT_EQ(judged(info(1), ref, reply("GetDevInfo", 0, two)), Verdict::Ok);  // at least 2
    two[0] = "SN0002";
    EXPECT_EQ(judged(info(2), ref, reply("GetDevInfo", 0, two)), Verdict::BadResult);
    five[3] = std::string(130, 'F');
    EXPECT_EQ(judged(info(5), ref, reply("GetDevInfo", 0, five)), Verdict::BadResult);

    const Pending users = mix.make("GetUserList", Json::Value(Json::arrayValue));
    Json::Value list = parse(R"([2,["alice","soak"]])");
    EXPECT_EQ(judged(users, ref, reply("GetUserList", 0, list)), Verdict::Ok);
    EXPECT_EQ(judged(users, ref, reply("GetUserList", 0, parse(R"([1,["alice"]])"))),
              Verdict::BadResult);
    EXPECT_EQ(judged(users, ref, reply("GetUserList", 0, parse(R"([3,["alice","soak"]])"))),
              Verdict::BadResult);

    const Pending enumDev = mix.make("EnumDevice", Json::Value(Json::arrayValue));
    EXPECT_EQ(judged(enumDev, ref, reply("EnumDevice", 0, parse(R"([1,["k"]])"))), Verdict::Ok);
    EXPECT_EQ(judged(enumDev, ref, reply("EnumDevice", 0, parse(R"([2,["k","l"]])"))),
              Verdict::BadResult);
    const Pending id = mix.make("GetClientID", Json::Value(Json::arrayValue));
    EXPECT_EQ(judged(id, ref, reply("GetClientID", 0, "soak key")), Verdict::Ok);
    EXPECT_EQ(judged(id, ref, reply("GetClientID", 0, "other")), Verdict::BadResult);
}

TEST(SoakJudge, SignaturesAreCheckedWithTheRightKey) {
    Signer fac, dev;
    ASSERT_FALSE(fac.pub.empty());
    const Reference ref = reference(fac.pub, dev.pub);
    // Every signature of this mix is verified.
    Mix mix(ref, Weights{0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0}, 3, "t", 1);  // no polls
    int seen = 0;
    for (int i = 0; i < 40; ++i) {
        const Pending p = mix.next();
        ASSERT_TRUE(p.function == "FactorySign" || p.function == "DeviceSign") << p.function;
        ASSERT_TRUE(p.verifySignature);
        Signer& right = p.function == "FactorySign" ? fac : dev;
        Signer& wrong = p.function == "FactorySign" ? dev : fac;
        EXPECT_EQ(judged(p, ref, reply(p.function, 0, right.signHex(p.signedMessage))), Verdict::Ok)
            << p.request;
        EXPECT_EQ(judged(p, ref, reply(p.function, 0, wrong.signHex(p.signedMessage))),
                  Verdict::BadResult);
        // The whole text when only a prefix was to be signed, and the other way round.
        const Json::Value req = parse(p.request);
        const std::string data = req["params"][0].asString();
        if (req["params"].size() == 2) {
            ++seen;
            EXPECT_EQ(p.signedMessage.size(), static_cast<size_t>(req["params"][1].asInt()));
            EXPECT_EQ(judged(p, ref, reply(p.function, 0, right.signHex(keykit::bytesOf(data)))),
                      p.signedMessage.size() == data.size() ? Verdict::Ok : Verdict::BadResult);
        } else {
            EXPECT_EQ(p.signedMessage, keykit::bytesOf(data));
        }
        EXPECT_EQ(judged(p, ref, reply(p.function, 0, "3044zz")), Verdict::BadResult);
    }
    EXPECT_GT(seen, 0) << "no request asked for a prefix";
}

TEST(SoakMix, RequestsCarryIncreasingIdsAndAnswerableCiphertexts) {
    Signer dev;
    const Reference ref = reference(dev.pub, dev.pub);
    Mix mix(ref, Weights(), 11, "c7", 4);
    std::set<std::string> functions;
    for (int i = 1; i <= 400; ++i) {
        const Pending p = mix.next();
        const Json::Value req = parse(p.request);
        ASSERT_EQ(req.size(), 3u) << p.request;
        EXPECT_EQ(req["function"], p.function);
        EXPECT_EQ(req["randomId"], "c7-" + std::to_string(i));
        EXPECT_EQ(p.id, req["randomId"].asString());
        EXPECT_NE(p.function, "startVerify");
        functions.insert(p.function);
        if (p.function == "Sm4Decrypt") {
            // The expected text is the first block of what the request's key
            // decrypts its ciphertext to; the second is all padding.
            const keykit::Bytes c = keykit::fromHex(req["params"][0].asString());
            const keykit::Bytes k = keykit::fromHex(req["params"][1].asString());
            ASSERT_EQ(c.size(), 32u);
            ASSERT_EQ(k.size(), 16u);
            EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
            uint8_t out[48];
            int n = 0;
            ASSERT_EQ(EVP_DecryptInit_ex(ctx, EVP_sm4_ecb(), nullptr, k.data(), nullptr), 1);
            EVP_CIPHER_CTX_set_padding(ctx, 0);
            ASSERT_EQ(EVP_DecryptUpdate(ctx, out, &n, c.data(), 32), 1);
            EVP_CIPHER_CTX_free(ctx);
            ASSERT_EQ(n, 32);
            EXPECT_EQ(keykit::toHex(keykit::Bytes(out, out + 16)), p.expectText);
            EXPECT_EQ(keykit::Bytes(out + 16, out + 32), keykit::Bytes(16, 0x10));
        }
        if (p.function == "Sm2Decrypt") {
            const size_t cipher = req["params"][0].asString().size() / 2;
            const size_t plain = p.expectText.size() / 2;
            EXPECT_EQ(cipher, 96 + plain);
            EXPECT_NE(cipher % 4, 1u) << "a leading 04 could be taken for the point's prefix";
        }
    }
    for (const char* f :
         {"GetVersion", "GetDevInfo", "FactorySign", "DeviceSign", "Sm2Decrypt", "Sm4Decrypt"})
        EXPECT_EQ(functions.count(f), 1u) << f << " never chosen";
    // Poll cycles come about once in Weights::pollEvery (500) turns.
    int polls = 0;
    for (int i = 0; i < 20000; ++i)
        polls += mix.nextIsPollCycle();
    EXPECT_GT(polls, 10);
    EXPECT_LT(polls, 100);
}

TEST(SoakMix, ReplyIdsOnlyFromStrings) {
    EXPECT_EQ(replyId(parse(R"({"function":"f","randomId":"c1-4","result":0,"reterr":0})")),
              "c1-4");
    EXPECT_EQ(replyId(parse(R"({"function":"ackVerify","result":[0],"reterr":0})")), "");
    EXPECT_EQ(replyId(parse(R"({"randomId":4})")), "");
    EXPECT_EQ(replyId(Json::Value()), "");
}

TEST(SoakResources, FlatRunPassesAndEachKindOfGrowthFails) {
    // Ten minutes, a sample every two seconds; RSS settles in the first minute.
    std::vector<Sample> flat;
    for (long t = 0; t <= 600000; t += 2000)
        flat.push_back({t, t < 20000 ? 9000 + t / 100 : 9200, 57, 51});
    std::vector<LogSample> logs;
    for (long t = 0; t <= 600000; t += 200)
        logs.push_back({t, (t * 37) % 3145000, 60});
    ResourceReport r = assess(flat, logs, 6, 6);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.rssFirstMaxKb, 9200);
    EXPECT_EQ(r.rssLastMaxKb, 9200);
    EXPECT_GT(r.logRestarts, 5);

    // A leak: 2 MiB more by the last minute (more than 5 % and 1 MiB).
    std::vector<Sample> leak = flat;
    for (Sample& s : leak)
        s.rssKb += s.ms * 2048 / 600000;
    r = assess(leak, logs, 6, 6);
    EXPECT_FALSE(r.rssFlat);
    EXPECT_FALSE(r.ok());
    // Growth within the tolerance passes: 1 MiB on 9 MiB is more than 5 %.
    std::vector<Sample> small = flat;
    small.back().rssKb += 1024;
    EXPECT_TRUE(assess(small, logs, 6, 6).rssFlat);
    small.back().rssKb += 1;
    EXPECT_FALSE(assess(small, logs, 6, 6).rssFlat);

    // One descriptor more in the last minute, or after the clients left.
    std::vector<Sample> fd = flat;
    fd[fd.size() - 3].fds = 58;
    EXPECT_FALSE(assess(fd, logs, 6, 6).fdFlat);  // a file
    fd[fd.size() - 3].sockets = 52;
    EXPECT_FALSE(assess(fd, logs, 6, 6).fdFlat);  // a socket, no slack
    Limits churn;
    churn.socketSlack = 2;
    EXPECT_TRUE(assess(fd, logs, 6, 6, churn).fdFlat);
    fd[fd.size() - 3].fds = 60;
    fd[fd.size() - 3].sockets = 54;
    EXPECT_FALSE(assess(fd, logs, 6, 6, churn).fdFlat);  // beyond the slack
    fd[fd.size() - 3].fds = 59;
    fd[fd.size() - 3].sockets = 52;
    EXPECT_FALSE(assess(fd, logs, 6, 6, churn).fdFlat);  // the slack covers no file
    EXPECT_FALSE(assess(flat, logs, 6, 7).fdIdleEqual);
    EXPECT_FALSE(assess(flat, logs, -1, -1).fdIdleEqual);

    // A log file one line past the limit, or nothing sampled, or a second file.
    std::vector<LogSample> big = logs;
    big[100].logBytes = 3145728 + 2058;
    EXPECT_TRUE(assess(flat, big, 6, 6).logBounded);
    big[100].logBytes += 1;
    EXPECT_FALSE(assess(flat, big, 6, 6).logBounded);
    EXPECT_FALSE(assess(flat, {}, 6, 6).logBounded);
    std::vector<LogSample> copy = logs;
    copy[5].otherBytes = 3145728;
    EXPECT_FALSE(assess(flat, copy, 6, 6).logBounded);
    EXPECT_FALSE(assess({}, logs, 6, 6).ok());
}

TEST(SoakResources, SampleFilesSkipBadLines) {
    auto s = readSamples(
        "0 9000 57 51\n2000 9100 57 51\nbad line\n4000 0 57 51\n6000 9100 57\n"
        "7000 9100 57 58\n8000 9200 58 52\n");
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[2].ms, 8000);
    EXPECT_EQ(s[2].fds, 58);
    EXPECT_EQ(s[2].sockets, 52);
    auto l = readLogSamples("0 -1 0\n200 1234 60\nx\n");
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].logBytes, -1);
    EXPECT_EQ(l[1].otherBytes, 60);
}

TEST(SoakOrder, RepliesAreMatchedOldestFirst) {
    const Reference ref;
    Mix mix(ref, Weights(), 5, "c3", 1);
    Waiting w;
    std::vector<std::string> ids;
    for (size_t i = 0; i < 4; ++i) {
        Pending p = mix.make("GetVersion", Json::Value(Json::objectValue));
        ids.push_back(p.id);
        w.push(std::move(p), i);
    }
    Pending got;
    size_t slot = 99;
    // A pushed message (no id) and a stranger's id answer nothing.
    EXPECT_EQ(w.take("", got, slot), Waiting::Match::Unasked);
    EXPECT_EQ(w.take("c4-1", got, slot), Waiting::Match::Unasked);
    EXPECT_EQ(w.size(), 4u);
    EXPECT_EQ(slot, 99u);
    EXPECT_EQ(w.take(ids[0], got, slot), Waiting::Match::InOrder);
    EXPECT_EQ(got.id, ids[0]);
    EXPECT_EQ(slot, 0u);
    // The third answered before the second.
    EXPECT_EQ(w.take(ids[2], got, slot), Waiting::Match::OutOfOrder);
    EXPECT_EQ(got.id, ids[2]);
    EXPECT_EQ(slot, 2u);
    EXPECT_EQ(w.oldest().id, ids[1]);
    EXPECT_EQ(w.take(ids[1], got, slot), Waiting::Match::InOrder);
    // A second reply to an answered command is unasked.
    EXPECT_EQ(w.take(ids[1], got, slot), Waiting::Match::Unasked);
    EXPECT_EQ(w.take(ids[3], got, slot), Waiting::Match::InOrder);
    EXPECT_EQ(slot, 3u);
    EXPECT_TRUE(w.empty());
}
