// The key session (class CNvId) as the service sees it: device session and
// information, the on-key layout, signing and ciphers, user and finger
// records, fingerprint operations. Results are the service's result codes.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace Json {
class Value;
}

// What the session needs from the service above it: building delayed reply
// texts, delivering them, and posting event records. Installed once by main
// before any other thread starts; a member left null drops that action.
struct CAppHooks {
    void (*sendMessage)(const std::string& text) = nullptr;
    void (*makeJsonErr)(std::string& reply, int code, std::string function,
                        std::string randomId) = nullptr;
    void (*makeJsonJV)(std::string& reply, const Json::Value& value, std::string function,
                       std::string randomId) = nullptr;
    int (*postMsgAck)(int queue, int event, int arg1, int arg2) = nullptr;
};

// Sizes the callers' buffers must have.
constexpr int kPubKeyLen = 65;       // 04 || X || Y
constexpr int kRawSigLen = 64;       // r || s
constexpr int kSignTextMax = 145;    // packSign text and its terminator
constexpr int kSm2PlainMax = 128;    // sm2Decrypt output
constexpr int kSm4OutMax = 128;      // sm4Decrypt output (plus its terminator)
constexpr int kPinMaxLen = 31;       // longest PIN rkLogin takes
constexpr int kUserNameMax = 32;     // longest user (application) name
constexpr int kFingerNameMax = 128;  // longest finger display name
constexpr int kDevListMax = 512;     // getDevLst output
constexpr int kCotListMax = 512;     // rkEnumContainer output
constexpr int kCertMax = 2048;       // SignDataNormal certificate

// Result codes: every code a command answers, named once here, for the key
// session and the layers above it alike (their texts: service/errors.cpp).
namespace codes {
constexpr int kOk = 0;
constexpr int kUserExists = 1;
constexpr int kNoUser = 2;
constexpr int kModuleFull = 3;
constexpr int kCanceled = 5;
constexpr int kFingerExists = 6;
constexpr int kTimeOut = 7;
constexpr int kNoFingerOnSensor = 11;
constexpr int kNoFinger = 12;
constexpr int kSm4Error = 14;
constexpr int kNoDev = 102;
constexpr int kFailed = 103;
constexpr int kBadParam = 104;
constexpr int kBadLength = 105;
constexpr int kOpenApp = 106;
constexpr int kBadPin = 107;
constexpr int kSignFail = 108;
constexpr int kNoCert = 109;
constexpr int kBadJson = 110;
constexpr int kBadEnvelope = 111;
constexpr int kBadParams = kBadEnvelope;  // a malformed "params" is answered alike
constexpr int kPkcs7Failed = 121;
constexpr int kAppLocked = 122;
// The daemon's own, never the key's: who may use it.
constexpr int kSiteNotAllowed = 130;
constexpr int kSitePinLimit = 131;
constexpr int kPinTriesKept = 132;
constexpr int kKeyBusyForAnotherSite = 133;
constexpr int kNotConfirmed = 134;  // no enrolled finger touched the key in time
constexpr int kUnknownFunction = 164;
constexpr int kNotSupported = 200;
constexpr int kNotForYou = 201;
// Not sent: rkLogin with an empty PIN started a fingerprint login, whose
// answer comes later.
constexpr int kAnswerLater = 1000;
// A looping verification that has no outcome yet.
constexpr int kVerifyPending = -63;
}  // namespace codes

class CNvId {
  public:
    // One lock guards the whole key session. The dispatcher holds it for a
    // whole command and the event thread for a whole event; fingerprint
    // workers never take it.
    static std::mutex& sessionLock();
    static void setHooks(const CAppHooks& hooks);
    static const CAppHooks& hooks();

    // ---- Device session and information --------------------------------
    static int openDev();
    static int closeDev();
    static int chkOpted();
    static void chkopendev();
    static int openDevice(const char* name);
    // Names of the attached keys, zero-terminated, ended by an empty name,
    // into `buffer` (kDevListMax bytes); *length = bytes used.
    static int getDevLst(char* buffer, int* length);
    // serial (32 bytes), label (64 bytes), pubKey (261 bytes: 130 hex digits
    // and a terminator) and app (32 bytes) receive zero-terminated texts.
    static int getDevInfo(int level, char* serial, int* type, char* label, char* pubKey, char* app);
    // Copies the key label (1 to 31 characters, zero-padded to 32 bytes) into
    // `buffer`, which holds *length bytes (at least 32); *length becomes the
    // label's length.
    static int getLbl(char* buffer, int* length);
    static int getSN(char* buffer, int* length);
    static int getVer(uint32_t* value, int* length);
    static int setLbl(const char* text, int length);
    static int setSN(const char* text, int length);
    static int initAxSys(const char* text, int length, uint8_t* out, int outLength);
    static void init();

    // ---- Key layout ----------------------------------------------------
    static bool _isBaseApp(const char* name);
    // anyUser: the first user application's name goes to `name` (33 bytes).
    static int _findApp(char* name, int* found, bool anyUser);
    static uint32_t openApp(void* hDev, const char* name, void** handle, bool reconnect);
    static int creatApp(const char* name);
    // names (zero-separated) may be null; count may be null.
    static int clrAllApp(char* names, int* count);
    // key: 16 bytes, or null for the built-in default.
    static int AuthDev(const uint8_t* key);
    static int _getFp(int* capacity, int* used, uint8_t* ids);
    static int _isFullFp(int* full, uint8_t* ids);
    static int clearFp(const uint8_t* ids, int count);
    static int _unbindLogon(int count, const uint8_t* ids);
    static int InitAppAx();
    static int AxInitFs(uint8_t* pubKey, int* length);
    static void blob2pubKey(const void* blob, uint8_t* out, int* length);
    // Factory steps beyond the two routines above: the logon-record
    // application with its fixed PIN (kept when it exists), and the
    // certificate of the device container (signature slot).
    static int initLogonApp();
    static int setDevCert(const uint8_t* der, int length);

    // ---- Signing, key export and ciphers -------------------------------
    static int getFacPubKey(uint8_t* out, int* length);
    static int getDevPubKey(uint8_t* out, int* length);
    static void hashSm3(const void* blob, const uint8_t* message, int length, uint8_t* out);
    // out receives r || s; it must hold kSignTextMax bytes so that packSign
    // can turn it into text in place.
    static int FacSign(const uint8_t* message, int length, uint8_t* out);
    static int DevSign(const uint8_t* message, int length, uint8_t* out);
    static int FpSign(const uint8_t* message, int length, uint8_t* out);
    // The same with the key of the finger whose container `container` of
    // user `app` holds, logged in or not. Session lock held.
    static int fingerKeySign(const char* app, const char* container, const uint8_t* message,
                             int length, uint8_t* out);

    // ---- One enrolled finger, by the module template a touch matched ----
    struct FingerIdentity {
        char user[kUserNameMax + 1];
        char container[33];
        char record[kUserNameMax + 1 + 33];
        int finger;
        char publicKey[2 * kPubKeyLen + 1];  // as its enrolment reported it
    };
    // Who the finger of module template `templateId` is. Session lock held.
    static int fingerOfTemplate(int templateId, FingerIdentity& who);
    static int packSign(uint8_t* buffer);
    static int __signinfo(const char* pubKeyText, const char* userText, uint8_t* out);
    // out holds *outLength bytes (kSm2PlainMax expected); *outLength becomes
    // the plaintext length.
    static int sm2Decrypt(const uint8_t* in, int length, uint8_t* out, int* outLength);
    // The same for C1 || C3 || C2 exactly, without a point prefix.
    static int decryptC1C3C2(const uint8_t* in, int length, uint8_t* out, int* outLength);
    static int sm2Encrypt(const uint8_t* in, int length, uint8_t* out, int* outLength);
    // out holds *outLength bytes in; the result and a terminator must fit.
    static int sm4Decrypt(const uint8_t* in, int length, const uint8_t* key, int keyLength,
                          uint8_t* out, int* outLength);
    static int setSvrPub(const uint8_t* key, int length);
    static int getSvrPub(uint8_t* out, int* length);

    // ---- PIN-login family ---------------------------------------------
    static int rkLogin(const char* devName, const char* second, const char* pin);
    static int rkEnumContainer(char* list, int* length);
    // certificate: a pointer into the scratch arena on success.
    static int SignDataNormal(const char* container, const uint8_t* data, int length,
                              uint8_t* signature, uint8_t** certificate, int* certLength);
    static int SignDataToPKCS7(const char* container, const uint8_t* data, int length,
                               uint8_t** message, int* messageLength);

    // ---- User and finger records ---------------------------------------
    static int getUsrLst(char* names, int* count);
    static int getFingerUsed(const char* user, uint8_t* numbers, int* count);
    static int getFingerUnused(const char* user, uint8_t* numbers, int* count);
    // names / fingerNames receive zero-separated texts (1024 / 512 bytes).
    static int delFinger(const char* user, const uint8_t* numbers, char* names, char* fingerNames,
                         int count);
    // numbers: 32 bytes; containers: 1024 bytes.
    static int delUser(const char* user, uint8_t* numbers, char* containers, int* count);
    static int _getCotFpLst(uint8_t* numbers, uint8_t* templates, int* count, char* rawList);
    static int _findFgIdCot(int key, char* container, bool byFinger, int* other);
    static int _findFgIdApp(int templateId, char* user, char* container, char* fingerName,
                            int* fingerNumber);
    static int _delFgIdCot(const uint8_t* templates, char* names, char* fingerNames, int count,
                           const char* user);
    static int _getFpLstUnused(uint8_t* numbers, int* count);
    static void cvtStr(const char* source, char* target, int max);
    static void sort(uint8_t* bytes, int count);
    static void swap(uint8_t* a, uint8_t* b);
    static void getFingerName(int index, char* out);

    // ---- Fingerprint operations ----------------------------------------
    // 2 while a verification worker runs, else 1 while an enrolment worker
    // runs, else 0.
    static int getFpState();
    // Ends running fingerprint workers without reporting anything (the
    // module's wait is aborted, the workers joined): for the end of the
    // process. Called with the session lock held.
    static void endFpWorkers();
    // End a running verification or enrolment: the waiting page is sent 5
    // from the calling thread before these return (the network thread's
    // sendMessage delivers at once, ahead of the caller's own reply).
    // Called with the session lock held.
    static int cancelVerify(bool extra);
    static int cancelEnroll();
    // Waits up to a second for the outcome of a looping verification.
    static int LoopVerify();
    // That outcome now, without waiting (kVerifyPending while it runs).
    static int verifyOutcome() { return m_bFpState.load(); }
    // Nothing to do: the enrolment already runs; answers come as events.
    static int waitEnroll();
    static int ackEnroll(int step, int code, bool finished);
    static int ackVerify(int code, bool finished);
    static int createVerifyFinger();
    static int loginFinger(int checkUser);
    static int startVerify(const char* devName);
    static int regFinger(const char* user, int finger, int* step, const char* fingerName);
    static int addFinger(const char* user, int finger, int* step, const char* fingerName);

    // ---- Site approval by touch ----------------------------------------
    // Outcomes reported to `done` besides 0 (the touch counts).
    static constexpr int kApproveTimedOut = 7;
    static constexpr int kApproveFailed = 103;
    static constexpr int kApproveStopped = 5;  // never reported: stopped from here
    // Starts waiting up to waitMs for a touch that approves a site; `done`
    // gets `generation` and the outcome on the worker thread (0, timed out
    // or failed; nothing when stopped). kOk, kNoDev without a key, kFailed
    // while a fingerprint operation or another approval runs. Session lock held.
    // With `enrolledOnly` only an enrolled finger counts, whatever the key
    // holds (kNoFinger when it holds none), and `done` gets the template the
    // touch matched (0 when none did).
    static int startApproval(int waitMs, unsigned generation, void (*done)(unsigned, int, int),
                             bool enrolledOnly = false);
    static bool approvalBusy();
    // Ends a waiting approval without reporting it. Session lock held.
    static void stopApproval();
    // Forgets the finger login (FingerSign's user) and the application a
    // PIN login opened. Session lock held.
    static void forgetFingerLogin();
    static void forgetPinLogin();
    // Tries the key's base application has left for the user PIN; -1 when
    // they cannot be read. Session lock held.
    static int pinTriesLeft(const char* devName);

    // ---- Key arrival and removal -----------------------------------------
    // Event the session posts to have keysChanged run on the event thread.
    static constexpr int kKeysChangedEvent = 11;
    // Notes that the key `name` arrived or left; from any thread, without
    // the session lock (the port's watch thread calls it), then posts
    // kKeysChangedEvent.
    static void noteKey(const char* name, bool present);
    // Brings the session up to date with the keys that came and went, under
    // the session lock: when the connected key left, its handles are
    // dropped (a running enrolment or verification ends by itself with its
    // error as its link fails, and is left to do so); when a key arrived and
    // none is connected, it is connected, which also takes back a failed
    // enrolment left on it.
    static void keysChanged();

    // ---- Session state -------------------------------------------------
    static void* m_hDev;
    static void* m_hApp;
    static void* m_hCot;
    static int m_bFacSign;
    static int m_bDevSign;
    // Read by the fingerprint workers while the session thread sets them.
    static std::atomic<unsigned char> m_bLoopVerify;
    static std::atomic<unsigned char> m_bChkUsr;
    static std::atomic<int> m_bFpState;
    static char m_curApp[40];
    static char m_curCot[32];

    // Fixed names of the layout.
    static const char m_axAppName[16];
    static const char m_axCotName[16];
    static const char m_devCotName[16];
    static const char m_pwdAppName[16];
    static const char m_UpanAppName[16];
    static const char m_nvAppName[16];
    static const char m_nvCotName[16];
    static const char m_userPin[16];
};

// Closes what an operation opened when it leaves scope.
class CExit {
  public:
    CExit() = default;
    ~CExit() { uninit(); }
    CExit(const CExit&) = delete;
    CExit& operator=(const CExit&) = delete;
    static void uninit();
    static void clrHdl();
};
