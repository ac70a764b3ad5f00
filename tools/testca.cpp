// The local test CA: an SM2 CA made with the openssl command-line tool, and
// certificates it issues for public keys whose private halves stay on a key.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include "tools/tools.h"

namespace fptools {

namespace {

// The GM/T 0009 default signer ID: OpenSSL computes Z with an empty ID
// unless told.
const char kDistId[] = "distid:1234567812345678";

// DER SubjectPublicKeyInfo header of an SM2 point (id-ecPublicKey, SM2).
const uint8_t kSpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                               0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x81, 0x1c,
                               0xcf, 0x55, 0x01, 0x82, 0x2d, 0x03, 0x42, 0x00};

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool writeFile(const std::string& path, const uint8_t* p, size_t n) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n));
    return static_cast<bool>(f);
}

bool readFile(const std::string& path, std::vector<uint8_t>& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

}  // namespace

TestCa::TestCa(std::string dir, std::string openssl)
    : m_dir(std::move(dir)), m_openssl(std::move(openssl)) {}

bool TestCa::run(const std::vector<std::string>& args, std::string& error) {
    const std::string log = m_dir + "/openssl.log";
    pid_t pid = fork();
    if (pid < 0) {
        error = "cannot start openssl";
        return false;
    }
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(m_openssl.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "openssl " + args[0] + " failed (see " + log + ")";
        return false;
    }
    return true;
}

bool TestCa::ensure(std::string& error) {
    mkdir(m_dir.c_str(), 0700);
    const std::string key = m_dir + "/ca.key";
    const std::string pem = m_dir + "/ca.pem";
    if (exists(key) && exists(pem)) return true;
    return run({"genpkey", "-algorithm", "SM2", "-out", key}, error) &&
           run({"req", "-new", "-x509", "-key", key, "-sm3", "-sigopt", kDistId, "-subj",
                "/CN=fpkey test CA", "-days", "3650", "-out", pem},
               error);
}

bool TestCa::issue(const uint8_t* pubKey, const std::string& cn, std::vector<uint8_t>& der,
                   std::string& error) {
    const std::string base = m_dir + "/" + cn;
    std::vector<uint8_t> spki(kSpkiPrefix, kSpkiPrefix + sizeof kSpkiPrefix);
    spki.insert(spki.end(), pubKey, pubKey + 65);
    if (!writeFile(base + ".pub.der", spki.data(), spki.size())) {
        error = "cannot write " + base + ".pub.der";
        return false;
    }
    // The request is signed by the CA key: only its subject matters, the
    // certificate carries the key's own public key (-force_pubkey).
    const std::string key = m_dir + "/ca.key";
    const std::string pem = m_dir + "/ca.pem";
    char serial[32];
    snprintf(serial, sizeof serial, "%ld", static_cast<long>(time(nullptr)));
    if (!run({"pkey", "-pubin", "-inform", "DER", "-in", base + ".pub.der", "-out",
              base + ".pub.pem"},
             error) ||
        !run({"req", "-new", "-key", key, "-sm3", "-sigopt", kDistId, "-subj", "/CN=" + cn, "-out",
              base + ".csr"},
             error) ||
        !run({"x509",   "-req",    "-in",           base + ".csr",     "-CA",  pem,
              "-CAkey", key,       "-force_pubkey", base + ".pub.pem", "-sm3", "-sigopt",
              kDistId,  "-vfyopt", kDistId,         "-days",           "3650", "-set_serial",
              serial,   "-out",    base + ".pem"},
             error) ||
        !run({"x509", "-in", base + ".pem", "-outform", "DER", "-out", base + ".der"}, error))
        return false;
    if (!readFile(base + ".der", der) || der.empty()) {
        error = "cannot read " + base + ".der";
        return false;
    }
    return true;
}

}  // namespace fptools
