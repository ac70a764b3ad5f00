// Command handlers, one family per file: cmd_device.cpp (device and
// information), cmd_finger.cpp (fingerprint users), cmd_sign.cpp (signing
// and ciphers). Each checks "params", calls CNvId and leaves its result in
// `text` or `value`; a nonzero return is the command's result code.
#pragma once

#include <string>

#include <json/value.h>

#include "app/app.h"

using namespace codes;

// A statement confirmed by a fresh touch (cmd_assert.cpp): answered later.
int FingerAssert(const Json::Value& params);

// Device and information.
int GetVersion(std::string& text);
int InitAxSys(const Json::Value& params, std::string& text);
int GetDevInfo(const Json::Value& params, Json::Value& value);
int EnumDevice(const Json::Value& params, Json::Value& value);
int openDevice(const Json::Value& params, Json::Value& value);
int closeDevice(const Json::Value& params, Json::Value& value);
int SetSvrPubKey(const Json::Value& params);
int GetFacPubKey(std::string& text);
int GetDevPubKey(std::string& text);
int GetClientID(std::string& text);
// [] or [true]: the sender's connection receives "ackDevice" for each key
// that arrives or leaves; [false] ends that.
int WatchDevice(const Json::Value& params, std::string& text);

// Fingerprint users.
int RegisterUser(const Json::Value& params, Json::Value& value, bool addFinger);
int WaitEnroll();
int CancelEnroll();
int LoginFinger(Json::Value& value);
int CancelVerify(bool extra);
int LoopVerify(const Json::Value& params, Json::Value& value);
int GetUserList(Json::Value& value);
int GetFingerUsed(const Json::Value& params, Json::Value& value);
int GetFingerUnused(const Json::Value& params, Json::Value& value);
int DeleteFinger(const Json::Value& params, Json::Value& value);
int DeleteUser(const Json::Value& params, Json::Value& value);

// Signing and ciphers.
int SignInfo(const Json::Value& params, std::string& text, int mode);
int Sm2Decrypt(const Json::Value& params, std::string& text);
int Sm4Decrypt(const Json::Value& params, std::string& text);
int rkLogin(const Json::Value& params, Json::Value& value);
int startVerify(const Json::Value& params, Json::Value& value);
int rkEnumContainer(const Json::Value& params, Json::Value& value);
int SignDataToPKCS7(const Json::Value& params, std::string& text);
int SignDataNormal(const Json::Value& params, Json::Value& value);
