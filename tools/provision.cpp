// Factory provisioning of a blank key: base application and factory key,
// device key, logon-record application, and a certificate for the device
// container from the local test CA, then a PIN login and a signature as a
// check that the key now serves the PIN-login family.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>

#include "app/app.h"
#include "tools/tools.h"
#include "util/util.h"

namespace fptools {

namespace {

std::string hexText(const uint8_t* p, int n) {
    std::string t(static_cast<size_t>(2 * n) + 1, '\0');
    t.resize(static_cast<size_t>(asc2hex(p, n, &t[0], 0)));
    return t;
}

bool step(FILE* out, const char* what, int rc) {
    if (rc == 0) {
        fprintf(out, "  %s: ok\n", what);
        return true;
    }
    fprintf(out, "  %s: failed (code %d)\n", what, rc);
    return false;
}

// A CA made for one run only (no --ca-dir): its directory, the CA's private
// key included, is removed when the run ends, however it ends.
class TempCaDir {
  public:
    TempCaDir() {
        const char* tmp = getenv("TMPDIR");
        std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/fpkey-ca-XXXXXX";
        if (mkdtemp(&t[0])) m_path = t;
    }
    ~TempCaDir() {
        if (m_path.empty()) return;
        // Only files of ours, flat: the CA and what it issued, openssl's log.
        if (DIR* d = opendir(m_path.c_str())) {
            while (const dirent* e = readdir(d))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    unlinkat(dirfd(d), e->d_name, 0);
            closedir(d);
        }
        rmdir(m_path.c_str());
    }
    TempCaDir(const TempCaDir&) = delete;
    TempCaDir& operator=(const TempCaDir&) = delete;
    const std::string& path() const { return m_path; }

  private:
    std::string m_path;
};

}  // namespace

int provisionKey(const ProvisionOptions& options, FILE* out) {
    CBytesEx::s_SetSpace(false, true);
    std::lock_guard<std::mutex> session(CNvId::sessionLock());
    cxBuf::init(0);
    if (CNvId::openDev() != 0) {
        fprintf(out, "fpkey-provision: no key found\n");
        return kProvisionNoKey;
    }
    char sn[32] = {0}, label[64] = {0};
    int n = sizeof sn;
    CNvId::getSN(sn, &n);
    n = sizeof label;
    CNvId::getLbl(label, &n);
    fprintf(out, "key: serial \"%s\", label \"%s\"\n", sn, label);

    char name[40] = {0};
    snprintf(name, sizeof name, "%s", CNvId::m_axAppName);
    int found = 0;
    if (CNvId::_findApp(name, &found, false) != 0) {
        fprintf(out, "fpkey-provision: cannot list the key's applications\n");
        return kProvisionFailed;
    }
    if (found && !options.force) {
        fprintf(out,
                "fpkey-provision: this key is already provisioned (\"%s\" exists); "
                "--force re-initialises it\n",
                CNvId::m_axAppName);
        return kProvisionAlready;
    }

    if (!step(out, "device authentication", CNvId::AuthDev(nullptr))) return kProvisionFailed;
    if (found) {
        fprintf(out, "  base application \"%s\": kept (re-initialising)\n", CNvId::m_axAppName);
    } else if (!step(out, "base application \"meboBaseApp\" with factory key in \"axBaseCot\"",
                     CNvId::InitAppAx())) {
        return kProvisionFailed;
    }
    uint8_t devKey[kPubKeyLen];
    int devKeyLen = 0;
    if (!step(out, "users, templates and logon records cleared; device key made in \"axDevCot\"",
              CNvId::AxInitFs(devKey, &devKeyLen)))
        return kProvisionFailed;
    fprintf(out, "  device public key: %s\n", hexText(devKey, devKeyLen).c_str());
    if (!step(out, "logon-record application \"axUpBaseApp\"", CNvId::initLogonApp()))
        return kProvisionFailed;

    const bool keepCa = !options.caDir.empty();
    std::optional<TempCaDir> tempCa;
    if (!keepCa) tempCa.emplace();
    TestCa ca(keepCa ? options.caDir : tempCa->path(), options.openssl);
    std::string error;
    std::vector<uint8_t> der;
    if (ca.dir().empty() || !ca.ensure(error) || !ca.issue(devKey, "axDevCot", der, error)) {
        fprintf(out, "  test CA: %s\n", error.empty() ? "no directory" : error.c_str());
        return kProvisionFailed;
    }
    if (keepCa)
        fprintf(out, "  test CA: %s/ca.pem\n", ca.dir().c_str());
    else
        fprintf(out, "  test CA: made for this run and removed after it (--ca-dir keeps one)\n");
    if (!step(out, "device certificate imported into \"axDevCot\"",
              CNvId::setDevCert(der.data(), static_cast<int>(der.size()))))
        return kProvisionFailed;
    if (keepCa)
        fprintf(out, "  device certificate: %s/axDevCot.pem (%zu bytes)\n", ca.dir().c_str(),
                der.size());
    else
        fprintf(out, "  device certificate: %zu bytes\n", der.size());

    // The check a page would make: PIN login and a signature with the
    // device container.
    cxBuf::init(0);
    int rc = CNvId::rkLogin(nullptr, "", CNvId::m_userPin);
    uint8_t sig[kRawSigLen];
    uint8_t* cert = nullptr;
    int certLen = 0;
    const uint8_t probe[] = "fpkey-provision";
    if (rc == 0)
        rc = CNvId::SignDataNormal(CNvId::m_devCotName, probe, sizeof probe - 1, sig, &cert,
                                   &certLen);
    CExit::uninit();
    if (!step(out, "check: PIN login and a signature with \"axDevCot\"", rc))
        return kProvisionFailed;
    fprintf(out, "provisioned\n");
    return kProvisionOk;
}

}  // namespace fptools
