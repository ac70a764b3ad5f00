// Card operating system of the virtual key: the persistent model, the
// power-on session, and the command handlers (one file per family).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vkey/vkey.h"

namespace vkey {

// Status words the card answers (meanings as the daemon converts them).
enum Sw : uint16_t {
    SW_OK = 0x9000,
    SW_MORE = 0x6A9E,  // list continues in the next reply
    SW_WRONG_LENGTH = 0x6700,
    SW_AUTH_FAILED = 0x6300,    // device-authentication cryptogram wrong
    SW_STORE_FAILED = 0x6581,   // state could not be saved
    SW_INTERNAL = 0x6F00,       // the key's own cryptography failed
    SW_NOT_LOGGED_IN = 0x6982,  // security status not satisfied
    SW_NO_CHALLENGE = 0x6985,   // conditions of use not satisfied
    SW_NOT_ALLOWED = 0x6986,
    SW_BAD_MAC = 0x6988,
    SW_BAD_DATA = 0x6A80,
    SW_NO_ROOM = 0x6A84,
    SW_FILE_MISSING = 0x6A82,
    SW_BAD_P1P2 = 0x6A86,
    SW_EXISTS = 0x6A89,
    SW_APP_MISSING = 0x6A8B,
    SW_CON_UNKNOWN = 0x6A91,  // no container with this ID in the application
    SW_FILE_EXISTS = 0x6A92,
    SW_CON_NOT_OPEN = 0x6A94,  // container exists but is not open
    SW_KEY_MISSING = 0x6A95,
    SW_CERT_MISSING = 0x6A96,
    SW_DECRYPT_FAILED = 0x6A9B,
    SW_BAD_OFFSET = 0x6B00,
    SW_BAD_INS = 0x6D00,
    SW_BAD_CLA = 0x6E00,
    SW_PIN_LOCKED = 0x9303,
    SW_PIN_WRONG = 0x63C0,  // | tries left
};

// Capacities of the card.
constexpr size_t kMaxApps = 24;
constexpr size_t kMaxContainers = 32;  // per application
constexpr size_t kMaxFiles = 128;      // per application
constexpr size_t kMaxFileSize = 8192;
constexpr size_t kMaxCert = 2048;
constexpr size_t kAppNameMax = 32;
constexpr size_t kConNameMax = 64;
constexpr size_t kFileNameMax = 32;
constexpr uint32_t kTotalSpace = 256 * 1024;
// Reply data that fits a reply frame the daemon accepts.
constexpr size_t kMaxReplyData = kMaxReplyFrame - 10 - 4;

// File rights bits.
constexpr uint32_t RIGHT_ADMIN = 0x01;
constexpr uint32_t RIGHT_USER = 0x10;
constexpr uint32_t RIGHT_ANYONE = 0xFF;

// ---------------------------------------------------------------------------
// Persistent model.

struct KeyPair {
    bool present = false;
    uint8_t x[32] = {};
    uint8_t y[32] = {};
    uint8_t d[32] = {};
    void wipe();
};

struct Container {
    uint16_t id = 0;
    std::string name;
    KeyPair sign, enc;
    bool hasSignCert = false, hasEncCert = false;
    std::vector<uint8_t> signCert, encCert;
};

// A PIN is kept only as the 16-byte key derived from it (first 16 bytes of
// SHA-1 over the PIN zero-padded to 16 bytes): the form every cryptogram and
// MAC of the PIN commands is computed under.
struct Pin {
    uint8_t k[16] = {};
    uint8_t maxTries = 0;
    uint8_t triesLeft = 0;
    bool isDefault = true;
};

struct AppFile {
    std::string name;
    uint32_t readRights = 0, writeRights = 0;
    std::vector<uint8_t> data;  // size fixed at creation
};

struct Application {
    uint16_t id = 0;
    std::string name;
    Pin admin, user;
    uint32_t createRights = 0;
    uint16_t nextContainerId = 1;
    std::vector<Container> containers;
    std::vector<AppFile> files;
};

// Elementary files outside applications.
struct ElementaryFile {
    uint16_t fid;
    size_t capacity;
    bool writable;
    std::vector<uint8_t> data;
};

struct CardState {
    std::vector<uint8_t> label, serial, field2;  // identity text fields
    uint8_t reserved[64] = {};
    uint16_t devType = 0;
    uint8_t firmware[3] = {1, 0, 5};
    uint8_t deviceKey[16] = {};
    uint16_t nextAppId = 0x3F00;
    std::vector<Application> apps;
    std::vector<ElementaryFile> efs;
};

// ---------------------------------------------------------------------------
// Power-on session (lost on unplug).

struct AppSession {
    uint16_t appId = 0;
    bool admin = false, user = false;  // logged in
    std::vector<uint16_t> openContainers;
};

struct ListCursor {
    uint8_t ins = 0;  // 0: no listing in progress
    uint16_t appId = 0;
    size_t next = 0;
};

struct Session {
    bool devAuthed = false;
    bool haveChallenge = false;
    uint8_t challenge[8] = {};
    std::vector<AppSession> open;
    ListCursor list;
};

// ---------------------------------------------------------------------------
// One command and its reply.

// Bounds-checked reader over the command data (little-endian fields).
class Reader {
  public:
    Reader(const uint8_t* p, size_t n) : m_p(p), m_n(n) {}
    size_t left() const { return m_n - m_pos; }
    const uint8_t* take(size_t n);
    bool u8(uint8_t& v);
    bool u16(uint16_t& v);
    bool u32(uint32_t& v);
    const uint8_t* rest(size_t& n);

  private:
    const uint8_t* m_p;
    size_t m_n;
    size_t m_pos = 0;
};

struct Apdu {
    uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    uint16_t lc = 0, le = 0;
    const uint8_t* data = nullptr;
    const uint8_t* raw = nullptr;  // header + data as received (MACs cover it)
    Reader reader() const { return Reader(data, lc); }
};

struct Reply {
    uint8_t data[kMaxReplyData];
    size_t len = 0;
    bool changed = false;  // persistent state changed: save before replying
    bool put(const void* p, size_t n);
    bool putU8(uint8_t v) { return put(&v, 1); }
    bool putU16(uint16_t v);
    bool putU32(uint32_t v);
    size_t room() const { return sizeof(data) - len; }
};

// What an application or container command works on.
struct Target {
    Application* app = nullptr;
    AppSession* ses = nullptr;
    Container* con = nullptr;
};

// For commands whose data length the handler checks itself.
constexpr int kAnyLc = -1;

// ---------------------------------------------------------------------------

class Card {
  public:
    CardState state;
    Session session;

    // Factory-fresh content: identity fields, device key, elementary files.
    void factoryReset(const uint8_t deviceKey[16]);
    // Elementary files the card knows, with their capacities (added when a
    // state file lacks one).
    void ensureElementaryFiles();
    void powerCycle() { session = Session(); }

    // Executes one APDU; the reply data goes to `r`. Returns the status word.
    uint16_t execute(const Apdu& a, Reply& r);

    // Lookups used by the handlers.
    Application* appById(uint16_t id);
    Application* appByName(const std::string& name);
    AppSession* openApp(uint16_t id);
    // The open application named by the next two data bytes, or a status.
    uint16_t takeOpenApp(Reader& rd, Target& t);
    // Application ID then container ID from the data: the open container.
    uint16_t takeOpenContainer(Reader& rd, Target& t);
    // The checks an application (container) command starts with, in this
    // order: P1/P2 allowed, the data length unless kAnyLc, then the open
    // application (and container) named at the front of the data.
    uint16_t appCommand(const Apdu& a, bool p1p2Ok, int lc, Reader& rd, Target& t);
    uint16_t containerCommand(const Apdu& a, bool p1p2Ok, int lc, Reader& rd, Target& t);
    // Consumes the pending challenge (each challenge proves one cryptogram).
    bool takeChallenge(uint8_t out[8]);
    uint32_t usedSpace() const;
};

// Handler families (cos_*.cpp). Each returns a status word.
using Handler = uint16_t (*)(Card&, const Apdu&, Reply&);
uint16_t cosSetIdentity(Card&, const Apdu&, Reply&);
uint16_t cosGetIdentity(Card&, const Apdu&, Reply&);
uint16_t cosDevAuth(Card&, const Apdu&, Reply&);
uint16_t cosChangeDevKey(Card&, const Apdu&, Reply&);
uint16_t cosRandom(Card&, const Apdu&, Reply&);
uint16_t cosPinInfo(Card&, const Apdu&, Reply&);
uint16_t cosChangePin(Card&, const Apdu&, Reply&);
uint16_t cosVerifyPin(Card&, const Apdu&, Reply&);
uint16_t cosUnblockPin(Card&, const Apdu&, Reply&);
uint16_t cosClearSecureState(Card&, const Apdu&, Reply&);
uint16_t cosCreateApp(Card&, const Apdu&, Reply&);
uint16_t cosListApps(Card&, const Apdu&, Reply&);
uint16_t cosDeleteApp(Card&, const Apdu&, Reply&);
uint16_t cosOpenApp(Card&, const Apdu&, Reply&);
uint16_t cosCloseApp(Card&, const Apdu&, Reply&);
uint16_t cosCreateFile(Card&, const Apdu&, Reply&);
uint16_t cosDeleteFile(Card&, const Apdu&, Reply&);
uint16_t cosListFiles(Card&, const Apdu&, Reply&);
uint16_t cosFileInfo(Card&, const Apdu&, Reply&);
uint16_t cosReadFile(Card&, const Apdu&, Reply&);
uint16_t cosWriteFile(Card&, const Apdu&, Reply&);
uint16_t cosReadEf(Card&, const Apdu&, Reply&);
uint16_t cosWriteEf(Card&, const Apdu&, Reply&);
uint16_t cosCreateContainer(Card&, const Apdu&, Reply&);
uint16_t cosOpenContainer(Card&, const Apdu&, Reply&);
uint16_t cosCloseContainer(Card&, const Apdu&, Reply&);
uint16_t cosListContainers(Card&, const Apdu&, Reply&);
uint16_t cosDeleteContainer(Card&, const Apdu&, Reply&);
uint16_t cosContainerType(Card&, const Apdu&, Reply&);
uint16_t cosImportCert(Card&, const Apdu&, Reply&);
uint16_t cosExportCert(Card&, const Apdu&, Reply&);
uint16_t cosGenKeyPair(Card&, const Apdu&, Reply&);
uint16_t cosImportKeyPair(Card&, const Apdu&, Reply&);
uint16_t cosSign(Card&, const Apdu&, Reply&);
uint16_t cosExtEncrypt(Card&, const Apdu&, Reply&);
uint16_t cosDecrypt(Card&, const Apdu&, Reply&);
uint16_t cosExportPublicKey(Card&, const Apdu&, Reply&);

// Names-list reply shared by the three listings: continues `cursor` when it
// belongs to the same listing, else starts afresh.
uint16_t replyNameList(Card& c, uint8_t ins, uint16_t appId, const std::vector<std::string>& names,
                       Reply& r);

// Diagnostic line on standard error (never secrets).
void keyLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vkey
