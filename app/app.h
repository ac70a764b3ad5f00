// The key session (class CNvId) as the service sees it.
#pragma once

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

class CNvId {
  public:
    // One lock guards the whole key session. The dispatcher holds it for a
    // whole command and the event thread for a whole event; fingerprint
    // workers never take it.
    static std::mutex& sessionLock();
    static void setHooks(const CAppHooks& hooks);
    static const CAppHooks& hooks();

    // Device session.
    static int openDev();
    static int closeDev();
    static int chkOpted();
    static void chkopendev();
    // Copies the key label (1 to 31 characters, zero-padded to 32 bytes) into
    // `buffer`, which holds *length bytes (at least 32); *length becomes the
    // label's length.
    static int getLbl(char* buffer, int* length);
    static int initAxSys(const char* text, int length, uint8_t* out, int outLength);

    // Fingerprint operations: 2 while a verification worker runs, else 1
    // while an enrolment worker runs, else 0.
    static int getFpState();
    static int cancelVerify(bool extra);
    static int cancelEnroll();
    // Waits up to a second for the outcome of a looping verification.
    static int LoopVerify();
    // Nothing to do: the enrolment already runs; answers come as events.
    static int waitEnroll();
    static int ackEnroll(int step, int code, bool finished);
    static int ackVerify(int code, bool finished);

    static unsigned char m_bChkUsr;
    static int m_bFpState;
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
