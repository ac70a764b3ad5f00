#include "vkey/store.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <vector>

#include "vkey/card.h"
#include "vkey/crypto_ossl.h"
#include "vkey/finger.h"

namespace vkey {

namespace {

const char kMagic[] = "fpkey-vkey-state";

std::string hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    if (n == 0) return "-";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}
std::string hex(const std::vector<uint8_t>& v) {
    return hex(v.data(), v.size());
}
std::string hex(const std::string& v) {
    return hex(reinterpret_cast<const uint8_t*>(v.data()), v.size());
}

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool unhex(const std::string& s, std::vector<uint8_t>& out) {
    out.clear();
    if (s == "-") return true;
    if (s.empty() || s.size() % 2 != 0) return false;
    for (size_t i = 0; i < s.size(); i += 2) {
        int hi = nibble(s[i]), lo = nibble(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

bool unhexFixed(const std::string& s, uint8_t* out, size_t n) {
    std::vector<uint8_t> v;
    if (!unhex(s, v) || v.size() != n) return false;
    memcpy(out, v.data(), n);
    wipe(v.data(), v.size());
    return true;
}

bool unhexText(const std::string& s, std::string& out, size_t max) {
    std::vector<uint8_t> v;
    if (!unhex(s, v) || v.empty() || v.size() > max) return false;
    out.assign(v.begin(), v.end());
    return out.find('\0') == std::string::npos;
}

bool number(const std::string& s, unsigned long max, unsigned long& v) {
    if (s.empty() || s.size() > 10) return false;
    v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    return v <= max;
}

std::string sha256Hex(const std::string& text) {
    uint8_t md[32];
    unsigned int n = 0;
    EVP_Digest(text.data(), text.size(), md, &n, EVP_sha256(), nullptr);
    return hex(md, 32);
}

std::string keyLine(char which, const KeyPair& kp) {
    return std::string("key ") + which + " " + hex(kp.x, 32) + " " + hex(kp.y, 32) + " " +
           hex(kp.d, 32) + "\n";
}

std::string pinLine(char which, const Pin& p) {
    return std::string("pin ") + which + " " + hex(p.k, 16) + " " + std::to_string(p.maxTries) +
           " " + std::to_string(p.triesLeft) + " " + (p.isDefault ? "1" : "0") + "\n";
}

bool writeAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string Store::serialize(const Card& card, const FingerModule& fp, const Vault& vault) {
    const CardState& s = card.state;
    std::string t = std::string(kMagic) + " " + std::to_string(kStateFormat) + "\n";
    t += "serial " + hex(s.serial) + "\n";
    t += "label " + hex(s.label) + "\n";
    t += "field2 " + hex(s.field2) + "\n";
    t += "reserved " + hex(s.reserved, sizeof s.reserved) + "\n";
    t += "devtype " + std::to_string(s.devType) + "\n";
    t += "firmware " + hex(s.firmware, sizeof s.firmware) + "\n";
    t += "devkey " + hex(s.deviceKey, sizeof s.deviceKey) + "\n";
    t += "nextapp " + std::to_string(s.nextAppId) + "\n";
    for (const ElementaryFile& f : s.efs)
        t += "ef " + std::to_string(f.fid) + " " + hex(f.data) + "\n";
    for (const Application& a : s.apps) {
        t += "app " + std::to_string(a.id) + " " + hex(a.name) + " " +
             std::to_string(a.createRights) + " " + std::to_string(a.nextContainerId) + "\n";
        t += pinLine('a', a.admin);
        t += pinLine('u', a.user);
        for (const Container& c : a.containers) {
            t += "con " + std::to_string(c.id) + " " + hex(c.name) + "\n";
            if (c.sign.present) t += keyLine('s', c.sign);
            if (c.enc.present) t += keyLine('e', c.enc);
            if (c.hasSignCert) t += "cert s " + hex(c.signCert) + "\n";
            if (c.hasEncCert) t += "cert e " + hex(c.encCert) + "\n";
        }
        for (const AppFile& f : a.files)
            t += "file " + hex(f.name) + " " + std::to_string(f.readRights) + " " +
                 std::to_string(f.writeRights) + " " + std::to_string(f.data.size()) + " " +
                 hex(f.data) + "\n";
    }
    for (size_t i = 0; i < kFingerSlots; ++i)
        if (fp.slots[i].number != 0)
            t += "fp " + std::to_string(i) + " " + std::to_string(fp.slots[i].number) + " " +
                 hex(fp.slots[i].finger) + "\n";
    if (vault.key.present) t += keyLine('v', vault.key);
    for (const VaultItem& it : vault.items)
        t += "item " + std::to_string(it.index) + " " + hex(it.pub) + "\n";
    t += "sum " + sha256Hex(t) + "\n";
    return t;
}

bool Store::parse(const std::string& text, Card& card, FingerModule& fp, Vault& vault,
                  std::string& err) {
    // The format line first: a later format may change everything after it.
    std::string first = text.substr(0, text.find('\n'));
    std::string prefix = std::string(kMagic) + " ";
    if (first.compare(0, prefix.size(), prefix) != 0) {
        err = "not a virtual-key state file";
        return false;
    }
    unsigned long format = 0;
    if (!number(first.substr(prefix.size()), 1000000, format) || format < 1) {
        err = "bad format number";
        return false;
    }
    if (format > static_cast<unsigned long>(kStateFormat)) {
        err = "written in format " + std::to_string(format) +
              " by a newer fpkey-vkey (this one reads " + std::to_string(kStateFormat) + ")";
        return false;
    }
    // The closing line holds the SHA-256 of everything before it.
    size_t sumAt = text.rfind("sum ");
    if (sumAt == std::string::npos || (sumAt > 0 && text[sumAt - 1] != '\n') ||
        text.back() != '\n') {
        err = "no closing checksum line (truncated?)";
        return false;
    }
    std::string body = text.substr(0, sumAt);
    if (text.substr(sumAt + 4, text.size() - sumAt - 5) != sha256Hex(body)) {
        err = "checksum mismatch";
        return false;
    }
    CardState s;
    std::istringstream in(body);
    std::string line;
    int lineNo = 0;
    Application* app = nullptr;
    Container* con = nullptr;
    FingerSlot slots[kFingerSlots];
    Vault v;
    auto bad = [&](const char* why) {
        err = "line " + std::to_string(lineNo) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        std::istringstream ls(line);
        std::vector<std::string> f;
        for (std::string w; ls >> w;)
            f.push_back(w);
        if (f.empty()) return bad("empty line");
        const std::string& tag = f[0];
        unsigned long v1 = 0, v2 = 0, v3 = 0;
        if (lineNo == 1) continue;  // the format line, checked above
        std::vector<uint8_t> bytes;
        if (tag == "serial" && f.size() == 2) {
            if (!unhex(f[1], s.serial) || s.serial.size() > 32) return bad("serial");
        } else if (tag == "label" && f.size() == 2) {
            if (!unhex(f[1], s.label) || s.label.size() > 32) return bad("label");
        } else if (tag == "field2" && f.size() == 2) {
            if (!unhex(f[1], s.field2) || s.field2.size() > 64) return bad("field2");
        } else if (tag == "reserved" && f.size() == 2) {
            if (!unhexFixed(f[1], s.reserved, sizeof s.reserved)) return bad("reserved");
        } else if (tag == "devtype" && f.size() == 2) {
            if (!number(f[1], 0xFFFF, v1)) return bad("devtype");
            s.devType = static_cast<uint16_t>(v1);
        } else if (tag == "firmware" && f.size() == 2) {
            if (!unhexFixed(f[1], s.firmware, sizeof s.firmware)) return bad("firmware");
        } else if (tag == "devkey" && f.size() == 2) {
            if (!unhexFixed(f[1], s.deviceKey, sizeof s.deviceKey)) return bad("devkey");
        } else if (tag == "nextapp" && f.size() == 2) {
            if (!number(f[1], 0xFFFF, v1)) return bad("nextapp");
            s.nextAppId = static_cast<uint16_t>(v1);
        } else if (tag == "ef" && f.size() == 3) {
            if (!number(f[1], 0xFFFF, v1) || !unhex(f[2], bytes)) return bad("ef");
            s.efs.push_back(ElementaryFile{static_cast<uint16_t>(v1), 0, true, bytes});
        } else if (tag == "app" && f.size() == 5) {
            Application a;
            if (!number(f[1], 0xFFFF, v1) || !unhexText(f[2], a.name, kAppNameMax) ||
                !number(f[3], 0xFF, v2) || !number(f[4], 0xFFFF, v3))
                return bad("app");
            a.id = static_cast<uint16_t>(v1);
            a.createRights = static_cast<uint32_t>(v2);
            a.nextContainerId = static_cast<uint16_t>(v3);
            s.apps.push_back(a);
            app = &s.apps.back();
            con = nullptr;
        } else if (tag == "pin" && f.size() == 6 && app != nullptr) {
            if (f[1] != "a" && f[1] != "u") return bad("pin kind");
            Pin& p = f[1] == "a" ? app->admin : app->user;
            if (!unhexFixed(f[2], p.k, 16) || !number(f[3], 15, v1) || !number(f[4], v1, v2) ||
                (f[5] != "0" && f[5] != "1"))
                return bad("pin");
            p.maxTries = static_cast<uint8_t>(v1);
            p.triesLeft = static_cast<uint8_t>(v2);
            p.isDefault = f[5] == "1";
        } else if (tag == "con" && f.size() == 3 && app != nullptr) {
            Container c;
            if (!number(f[1], 0xFFFF, v1) || !unhexText(f[2], c.name, kConNameMax))
                return bad("con");
            c.id = static_cast<uint16_t>(v1);
            app->containers.push_back(c);
            con = &app->containers.back();
        } else if (tag == "fp" && f.size() == 4) {
            std::string name;
            if (!number(f[1], kFingerSlots - 1, v1) || !number(f[2], 0xFF, v2) || v2 == 0 ||
                !unhexText(f[3], name, kFingerNameMax) || !validFingerName(name) ||
                slots[v1].number != 0)
                return bad("fp");
            for (const FingerSlot& o : slots)
                if (o.number == v2 || (o.number != 0 && o.finger == name))
                    return bad("fp: template or finger twice");
            slots[v1].number = static_cast<uint8_t>(v2);
            slots[v1].finger = name;
        } else if (tag == "key" && f.size() == 5 && f[1] == "v") {
            if (v.key.present || !unhexFixed(f[2], v.key.x, 32) || !unhexFixed(f[3], v.key.y, 32) ||
                !unhexFixed(f[4], v.key.d, 32))
                return bad("vault key");
            v.key.present = true;
        } else if (tag == "item" && f.size() == 3) {
            if (!number(f[1], 0xFFFFFFFFul, v1) || !unhex(f[2], bytes) ||
                v.find(static_cast<uint32_t>(v1)) != nullptr ||
                !v.put(static_cast<uint32_t>(v1), bytes))
                return bad("item");
        } else if (tag == "key" && f.size() == 5 && con != nullptr) {
            if (f[1] != "s" && f[1] != "e") return bad("key kind");
            KeyPair& kp = f[1] == "s" ? con->sign : con->enc;
            if (!unhexFixed(f[2], kp.x, 32) || !unhexFixed(f[3], kp.y, 32) ||
                !unhexFixed(f[4], kp.d, 32))
                return bad("key");
            kp.present = true;
        } else if (tag == "cert" && f.size() == 3 && con != nullptr) {
            if (f[1] != "s" && f[1] != "e") return bad("cert kind");
            if (!unhex(f[2], bytes) || bytes.empty() || bytes.size() > kMaxCert) return bad("cert");
            (f[1] == "s" ? con->signCert : con->encCert) = bytes;
            (f[1] == "s" ? con->hasSignCert : con->hasEncCert) = true;
        } else if (tag == "file" && f.size() == 6 && app != nullptr) {
            AppFile af;
            if (!unhexText(f[1], af.name, kFileNameMax) || !number(f[2], 0xFFFFFFFFul, v1) ||
                !number(f[3], 0xFFFFFFFFul, v2) || !number(f[4], kMaxFileSize, v3) ||
                !unhex(f[5], af.data) || af.data.size() != v3)
                return bad("file");
            af.readRights = static_cast<uint32_t>(v1);
            af.writeRights = static_cast<uint32_t>(v2);
            app->files.push_back(af);
        } else {
            return bad("unknown or misplaced line");
        }
    }
    if (lineNo == 0) return bad("empty file");
    card.state = s;
    for (size_t i = 0; i < kFingerSlots; ++i)
        fp.slots[i] = slots[i];
    vault.key = v.key;
    vault.items = v.items;
    v.key.wipe();
    // Capacities and write access of the elementary files are the card's.
    std::vector<ElementaryFile> stored = card.state.efs;
    card.state.efs.clear();
    card.ensureElementaryFiles();
    for (const ElementaryFile& e : stored) {
        bool known = false;
        for (ElementaryFile& f : card.state.efs) {
            if (f.fid != e.fid) continue;
            if (e.data.size() > f.capacity) {
                err = "elementary file " + std::to_string(e.fid) + " larger than its capacity";
                return false;
            }
            f.data = e.data;
            known = true;
        }
        if (!known) {
            err = "unknown elementary file " + std::to_string(e.fid);
            return false;
        }
    }
    return true;
}

Store::~Store() {
    if (m_lockFd >= 0) close(m_lockFd);
}

OpenResult Store::open(const std::string& dir, std::string& err) {
    if (dir.empty()) {
        err = "no state directory given";
        return OpenResult::badArg;
    }
    m_dir = dir;
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        err = "cannot create state directory " + dir + ": " + strerror(errno);
        return OpenResult::io;
    }
    std::string lock = dir + "/lock";
    m_lockFd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockFd < 0) {
        err = "cannot open " + lock + ": " + strerror(errno);
        return OpenResult::io;
    }
    if (flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        err = "state directory " + dir + " is in use by another fpkey-vkey";
        return OpenResult::busy;
    }
    return OpenResult::ok;
}

bool Store::exists() const {
    struct stat st;
    return stat((m_dir + "/" + kStateFile).c_str(), &st) == 0;
}

OpenResult Store::load(Card& card, FingerModule& fp, Vault& vault, std::string& err) {
    std::string path = m_dir + "/" + kStateFile;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = "cannot read " + path + ": " + strerror(errno);
        return OpenResult::io;
    }
    std::string text;
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = "cannot read " + path + ": " + strerror(errno);
            close(fd);
            return OpenResult::io;
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    std::string why;
    bool ok = Store::parse(text, card, fp, vault, why);
    wipe(&text[0], text.size());
    if (!ok) {
        err = "state file " + path + " is corrupt (" + why +
              "); refusing to start. Move it away to start a blank key.";
        return OpenResult::corrupt;
    }
    return OpenResult::ok;
}

bool Store::save(const Card& card, const FingerModule& fp, const Vault& vault, std::string& err) {
    std::string text = serialize(card, fp, vault);
    std::string path = m_dir + "/" + kStateFile;
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && writeAll(fd, text) && fsync(fd) == 0;
    if (fd >= 0 && close(fd) != 0) ok = false;
    wipe(&text[0], text.size());
    if (ok) ok = rename(tmp.c_str(), path.c_str()) == 0;
    if (ok) {
        // The rename itself must reach the disk.
        int dfd = ::open(m_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ok = dfd >= 0 && fsync(dfd) == 0;
        if (dfd >= 0) close(dfd);
    }
    if (!ok) err = "cannot save " + path + ": " + strerror(errno);
    return ok;
}

}  // namespace vkey
