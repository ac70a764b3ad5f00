#include "tests/unit/skf/fake_port.h"

#include <cstring>

#include "skf/devtable.h"
#include "skf/hdlmap.h"

namespace fake {

std::vector<Bytes> sent;
std::deque<Reply> replies;
int txdRc = 0;

namespace {
int fOpen(uint64_t) {
    return 0;
}
int fClose(uint64_t) {
    return 0;
}

int fTxd(uint64_t, const uint8_t* bytes, int len, int* outSent) {
    if (txdRc != 0) {
        *outSent = 0;
        return txdRc;
    }
    sent.emplace_back(bytes, bytes + len);
    *outSent = len;
    return 0;
}

int fRxd(uint64_t, uint8_t* buf, int capacity, int* received) {
    if (replies.empty()) return -107;
    Reply r = replies.front();
    replies.pop_front();
    if (r.rc != 0) return r.rc;
    if (r.echoSeq && !sent.empty() && r.frame.size() >= 10) {
        r.frame[3] = sent.back()[3];
        r.frame[5] = sent.back()[5];
        const size_t L = r.frame.size() - 10;
        const uint16_t sum = fletcher(r.frame.data() + 1, L + 6);
        r.frame[7 + L] = static_cast<uint8_t>(sum >> 8);
        r.frame[8 + L] = static_cast<uint8_t>(sum);
    }
    if (static_cast<int>(r.frame.size()) > capacity) return -8;
    memcpy(buf, r.frame.data(), r.frame.size());
    *received = static_cast<int>(r.frame.size());
    return 0;
}
}  // namespace

void reset() {
    cosResetForTest();
    hdlResetForTest();
    sent.clear();
    replies.clear();
    txdRc = 0;
}

void* attach(int slot, const char* name) {
    ST_USB_DEV_INFO& s = m_sUsbDevInfo[slot];
    PORT_FillParam(&m_sDevParam[slot], slot, name);
    s.port = slot;
    _ST_DEV_OPT opt{};
    opt.handle = 7;
    opt.openDev = fOpen;
    opt.closeDev = fClose;
    opt.txdPkg = fTxd;
    opt.rxdPkg = fRxd;
    opt.param = m_sDevParam[slot];
    s.portParam = opt;
    s.link.SetDev(&s.portParam);
    s.link.linkf_openDev();
    return &s;
}

uint16_t fletcher(const uint8_t* p, size_t n) {
    uint16_t a = 0, b = 0;
    for (size_t i = 0; i < n; ++i) {
        a = static_cast<uint16_t>(a + p[i]);
        b = static_cast<uint16_t>(b + a);
    }
    return b;
}

Bytes replyFrame(uint16_t sw, const Bytes& data, uint8_t seq) {
    const size_t L = 4 + data.size();
    Bytes f = {0xAA, static_cast<uint8_t>(L >> 8), static_cast<uint8_t>(L), 8, 0, seq, 0};
    f.push_back(static_cast<uint8_t>(sw));
    f.push_back(static_cast<uint8_t>(sw >> 8));
    f.push_back(static_cast<uint8_t>(data.size()));
    f.push_back(static_cast<uint8_t>(data.size() >> 8));
    f.insert(f.end(), data.begin(), data.end());
    const uint16_t sum = fletcher(f.data() + 1, L + 6);
    f.push_back(static_cast<uint8_t>(sum >> 8));
    f.push_back(static_cast<uint8_t>(sum));
    f.push_back(0x55);
    return f;
}

void reply(uint16_t sw, const Bytes& data) {
    replies.push_back({replyFrame(sw, data), true, 0});
}

void replyFail(int rc) {
    replies.push_back({{}, false, rc});
}

Bytes apdu(size_t i) {
    const Bytes& f = sent.at(i);
    const size_t L = (static_cast<size_t>(f[1]) << 8) | f[2];
    return Bytes(f.begin() + 7, f.begin() + 7 + static_cast<long>(L));
}

Bytes data(size_t i) {
    Bytes a = apdu(i);
    return Bytes(a.begin() + 8, a.end());
}

}  // namespace fake

Bytes hexBytes(const std::string& hex) {
    Bytes out;
    int hi = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

Bytes seqBytes(uint8_t first, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(first + i);
    return b;
}
