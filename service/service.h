// The service front end: the WebSocket endpoint, the JSON command envelope
// and its dispatch, reply texts, result codes and the event queue.
#pragma once

#include <cstdint>
#include <string>

#include <json/value.h>

#include "site/site.h"

// Version text printed at start and answered by "GetVersion".
constexpr const char* kServiceVersion = "1.0.1.32 MEBO";
// Where the endpoint listens unless FPKEYD_PORT names another port.
constexpr unsigned short kServicePort = 11230;

// ---------------------------------------------------------------------------
// Commands.

class Ckjson {
  public:
    // Runs one command text for `client`. Returns 0 when `reply` is complete
    // and is to be sent now, 1 when the command is answered later through
    // sendMessage.
    static int excute(const std::string& command, std::string& reply, Client& client);
    // The same for a local program (tests and tools).
    static int excute(const std::string& command, std::string& reply);
    // Whether the command reaches the key or what clients share: false for
    // GetVersion, Connect, Disconnect, an unknown function and a message
    // that is no command (their answers touch nothing).
    static bool needsKey(const std::string& command);
    // When the command reaches the key (see needsKey), writes the reply
    // refusing it with `code` and returns true; false when it may run.
    static bool refuseIfKeyed(const std::string& command, int code, std::string& reply);
};

// Return of excute for a command that gets no reply and changes no target
// (a page waiting on another site's operation).
constexpr int kNoReply = 2;

// Return of excute for a poll of the fingerprint module whose outcome is
// still pending: `reply` holds that answer. The endpoint asks again a little
// later (up to a second in all, as a page's poll expects) rather than wait
// on the network thread, where every other page's command would wait too.
constexpr int kPollAgain = 3;
constexpr int kPollTries = 5;
constexpr int kPollEveryMs = 200;

// The client whose command runs now; null outside a command.
Client* currentClient();
// The name and the randomId of the command that runs now ("" outside one),
// for a handler that answers later itself.
std::string currentFunction();
std::string currentRandomId();

// Dispatch of one command by name; same return convention as excute.
int handFunc(const std::string& function, const Json::Value& params, std::string& reply,
             const std::string& randomId);

// Reply builders: each writes the whole compact reply text into `reply`.
void makeJsonErr(std::string& reply, int code, std::string function, std::string randomId);
void makeJsonInt(std::string& reply, int value, std::string function, std::string randomId);
void makeJsonStr(std::string& reply, const std::string& text, std::string function,
                 std::string randomId);
void makeJsonJV(std::string& reply, const Json::Value& value, std::string function,
                std::string randomId);

// Message of a result code; "not find this err" for a code without one.
const char* nvGetErrMsg(uint32_t code);
// Local-language (UTF-8) text of a fingerprint module failure; only the low
// 16 bits of `code` count. Unknown codes give the first text.
const char* getfpErr(int32_t code);

// ---------------------------------------------------------------------------
// Delayed results and the event queue.

// Sends a text as one text frame to the connection remembered at delivery
// time (dropped when none is). Safe from any thread. On the network thread
// delivery is at once, so a push made while a command runs (the cancelled
// operation's 5) goes out before that command's reply; from other threads
// the text is handed to the network thread.
void sendMessage(const std::string& text);
// Hands a text to the network thread, which sends it to every open
// WebSocket connection whose client `wants` it. Safe from any thread.
void sendToClients(const std::string& text, bool (*wants)(const Client&));

// A key arrived or left (the port's watch thread calls it): every client
// that asked with "WatchDevice" and is allowed gets
//   {"function":"ackDevice","result":[name, product id, present],"reterr":0}
// and the key session is told (it repairs itself on the event thread).
void keyChanged(const char* name, uint16_t pid, bool present);
// Always hands the text to the network thread, even from the network thread
// itself: delivered after the running command, to the connection remembered
// then (the one a delayed command has just become).
void sendMessageLater(const std::string& text);

// Creates the event queue and starts the event thread; ends the process with
// status 1 when either fails.
void nvackExec();
// Removes the event queue when the process ends normally (a System V queue
// would otherwise outlive it).
void nvackClose();
// Posts one event record (the queue argument is not used). Returns 0 or -1.
int postMsgAck(int queue, int event, int arg1, int arg2);

// ---------------------------------------------------------------------------
// Process.

struct Options;
// Everything fpkeyd does after reading its command line: selects the key
// port (virtual keys of the options or of FPKEYD_VIRTUAL_KEY, else USB),
// starts the log and the event thread, and runs the network loop on the
// calling thread until work_stop. Returns 0, 1 when the port cannot be
// bound, 2 for unusable virtual-key paths.
int fpkeydRun(const Options& options);

// Runs the listener and the network loop on the calling thread until
// work_stop. Returns 0, or 1 when the port cannot be bound.
int work_run(unsigned short port);
// Ends the network loop; safe from any thread.
int work_stop();
