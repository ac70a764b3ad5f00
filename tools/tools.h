// Small command-line tools over the key session: factory provisioning of a
// blank key and the local test CA it uses.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace fptools {

struct ProvisionOptions {
    bool force = false;
    // Directory of the test CA (ca.key, ca.pem; created when missing) and of
    // the issued device certificate. Empty: a new directory under TMPDIR.
    std::string caDir;
    // The openssl command-line tool.
    std::string openssl = "openssl";
};

// Exit codes of fpkey-provision.
enum : int {
    kProvisionOk = 0,
    kProvisionUsage = 2,
    kProvisionNoKey = 3,
    kProvisionAlready = 4,  // already provisioned and not forced
    kProvisionFailed = 5,
};

// Provisions the key the session connects to first (virtual keys must be
// selected before). Takes the session lock for the whole run, so the caller
// must not hold it. Leaves the key connected with nothing open. Reports every
// step on `out`. Returns an exit code.
int provisionKey(const ProvisionOptions& options, FILE* out);

// The local test CA made with the openssl CLI.
class TestCa {
  public:
    TestCa(std::string dir, std::string openssl);
    // Makes ca.key and ca.pem unless both exist. False on failure.
    bool ensure(std::string& error);
    // Issues a certificate with subject CN=`cn` for the SM2 public key
    // 04 || X || Y (65 bytes), whose private half stays on the key. The
    // DER certificate goes to `der`; also written as <cn>.pem in the dir.
    bool issue(const uint8_t* pubKey, const std::string& cn, std::vector<uint8_t>& der,
               std::string& error);
    const std::string& dir() const { return m_dir; }

  private:
    bool run(const std::vector<std::string>& args, std::string& error);
    std::string m_dir;
    std::string m_openssl;
};

}  // namespace fptools
