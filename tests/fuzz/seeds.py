#!/usr/bin/env python3
"""Writes the hand-made seed inputs of every fuzz target into corpus/<target>/.

Run from anywhere; existing seeds of the same name are overwritten, inputs
the fuzzer added are left alone. The certificate seeds come from the openssl
CLI (a fresh SM2 self-signed certificate each run).
"""
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def fletcher(b):
    s1 = s2 = 0
    for x in b:
        s1 = (s1 + x) & 0xFFFF
        s2 = (s2 + s1) & 0xFFFF
    return s2


def frame(channel, payload, seq=0, cont=0, cipher=0):
    head = bytes([0xAA]) + struct.pack(">H", len(payload)) + bytes([channel, cipher, seq, cont])
    body = head + payload
    return body + struct.pack(">H", fletcher(body[1:])) + b"\x55"


def cos_reply(sw, data=b""):
    return struct.pack("<HH", sw, len(data)) + data


def apdu(cla, ins, p1, p2, data=b"", le=0):
    return bytes([cla, ins, p1, p2]) + struct.pack("<HH", len(data), le) + data


def nuv_rsp(status, data=b""):
    return struct.pack("<HH", status, len(data)) + data


def certificate():
    with tempfile.TemporaryDirectory() as t:
        key, pem, der = (os.path.join(t, n) for n in ("k.pem", "c.pem", "c.der"))
        subprocess.run(["openssl", "ecparam", "-name", "SM2", "-genkey", "-out", key],
                       check=True, capture_output=True)
        subprocess.run(["openssl", "req", "-new", "-x509", "-key", key, "-sm3", "-days", "3650",
                        "-subj", "/C=CN/O=fpkeyd fuzz/CN=seed", "-set_serial", "0x1234567890ABCDEF",
                        "-out", pem], check=True, capture_output=True)
        subprocess.run(["openssl", "x509", "-in", pem, "-outform", "DER", "-out", der],
                       check=True, capture_output=True)
        with open(der, "rb") as f:
            return f.read()


def util_hex():
    put("util_hex", "plain", b"\x05A1B2C3")
    put("util_hex", "repeat_literal", b'\x150x1f 2E:3 "ab" f')
    put("util_hex", "number_ops", b"\x2a0x10*4/2")
    put("util_hex", "long_digits", b"\x4f123456789012345678901234567890")
    put("util_hex", "huge_repeat", b"\x01F:99999999999")
    put("util_hex", "colons", b"\x88de:ad:be:ef")


def crypto_base64():
    put("crypto_base64", "plain", "SGVsbG8sIHdvcmxkIQ==")
    put("crypto_base64", "urlsafe", "-_-_AAEC")
    put("crypto_base64", "lines", "QUJD\r\nREVG\r\nR0g=")
    put("crypto_base64", "zero_inside", b"QUJD\x00REVG")
    put("crypto_base64", "odd_tail", "QUJDR")


def crypto_der(cert):
    put("crypto_der", "walk_cert", b"\x00" + cert)
    put("crypto_der", "certdata", b"\x01" + cert)
    put("crypto_der", "pkcs7", b"\x02" + cert)
    put("crypto_der", "pkcs7_gm", b"\x05" + cert)
    put("crypto_der", "long_forms", b"\x00\x30\x82\x00\x05\x02\x81\x02\x01\x02\x04\x83\x00\x00\x01\xff")
    put("crypto_der", "certdata_truncated", b"\x01" + cert[: len(cert) // 2])


def chunk(payload, flags=0):
    return bytes([flags]) + struct.pack("<H", len(payload)) + payload


def transport_frame():
    card = frame(8, cos_reply(0x9000, b"\x01\x02\x03"), seq=5)
    module = frame(6, nuv_rsp(0, b"\x07"), seq=9)
    put("transport_frame", "one_card_frame", b"\x0c" + card)
    put("transport_frame", "two_channels_link", b"\x2c" + module + card)
    put("transport_frame", "link_wants_module", b"\x6c" + card + module)
    big = frame(7, nuv_rsp(0, bytes(range(256)) * 4))
    put("transport_frame", "big_unit_1024", b"\x0d" + big)
    put("transport_frame", "too_long_for_room", b"\x06" + big + card)
    sized = b"".join(bytes([len(card[i:i + 7])]) + card[i:i + 7] for i in range(0, len(card), 7))
    put("transport_frame", "odd_units", b"\x1c" + sized)
    put("transport_frame", "bad_sum", b"\x0c" + card[:-3] + b"\x00\x00\x55")


def transport_nuv():
    ok = chunk(nuv_rsp(0))
    put("transport_nuv", "getnum", b"\x00" + chunk(nuv_rsp(0, bytes([64, 2, 1, 2]))) + chunk(nuv_rsp(0, bytes([64, 0]))))
    steps = b"".join(chunk(nuv_rsp(0, bytes([i])), flags=1) for i in range(1, 4))
    put("transport_nuv", "enroll", b"\x01" + steps + chunk(nuv_rsp(0, b"\x05")))
    put("transport_nuv", "enroll_stale_seq", b"\x02" + chunk(nuv_rsp(0, b"\x01"), flags=9) + chunk(nuv_rsp(0, b"\x05")))
    put("transport_nuv", "verify", b"\x03" + chunk(nuv_rsp(0, b"\x05")) + chunk(nuv_rsp(0xE10D)))
    put("transport_nuv", "delete_logout", b"\x04" + ok + ok)
    put("transport_nuv", "flash", b"\x05" + chunk(nuv_rsp(0, bytes(100))))
    put("transport_nuv", "chip_ack", b"\x06" + chunk(nuv_rsp(0, bytes([24 + 0x80, 1]))))
    put("transport_nuv", "sharekey", b"\x08" + chunk(nuv_rsp(0, bytes(68))))
    put("transport_nuv", "list", b"\x0b" + chunk(nuv_rsp(0, struct.pack("<I", 2) + bytes(8))))
    put("transport_nuv", "item_sm4", b"\x0d" + chunk(nuv_rsp(0, bytes(528)), flags=2))
    put("transport_nuv", "pubitem_long", b"\x0e" + chunk(nuv_rsp(0, bytes(472))))
    put("transport_nuv", "raw_truncated", b"\x00" + chunk(frame(6, nuv_rsp(0, bytes(20)))[:12], flags=4))
    put("transport_nuv", "wrong_channel", b"\x03" + chunk(nuv_rsp(0, b"\x05"), flags=16))


def skf_reply():
    # Data sizes the parsers of each function meet in a well-formed answer.
    sizes = {0: 100, 1: 32, 2: 3, 3: 2, 4: 64, 5: 8, 6: 10, 7: 12, 8: 10, 11: 12, 12: 66,
             14: 12, 15: 11, 16: 40, 17: 132, 18: 132, 19: 64, 20: 16, 21: 180, 22: 180,
             23: 4, 24: 12, 25: 20, 26: 11, 28: 300, 29: 128, 30: 16, 31: 32, 32: 2, 33: 2,
             34: 16}
    for i in range(36):
        n = sizes.get(i, 0)
        data = bytes((7 * k + i) & 0xFF for k in range(n))
        put("skf_reply", "ok_%02d" % i, bytes([i]) + chunk(cos_reply(0x9000, data)) * 3)
    names = b"APP1\x00APP2\x00\x00"
    put("skf_reply", "listing_more", bytes([35]) + chunk(cos_reply(0x6A9E, names[:5] + b"\x00"))
        + chunk(cos_reply(0x9000, names)) + chunk(cos_reply(0x9000, b"CON\x00\x00")))
    put("skf_reply", "pin_wrong", bytes([9]) + chunk(cos_reply(0x9000, bytes(16)))
        + chunk(cos_reply(0x63C2)))
    put("skf_reply", "pin_locked", bytes([10]) + chunk(cos_reply(0x9000, bytes(16)))
        + chunk(cos_reply(0x9303)))
    put("skf_reply", "short_payload", bytes([0]) + chunk(b"\x00\x90\x64"))
    put("skf_reply", "stale_seq", bytes([2]) + chunk(cos_reply(0x9000, b"\x01\x02\x03"), flags=8)
        + chunk(cos_reply(0x9000, b"\x01\x02\x03")))
    cipher = bytes(64) + bytes(32) + struct.pack("<I", 16) + bytes(16)
    put("skf_reply", "decrypt_blob", bytes([20]) + chunk(cos_reply(0x9000, cipher)))
    put("skf_reply", "raw_oversize", bytes([1]) + chunk(b"\xaa\x08\x00\x08\x00\x00\x00", flags=4))


def vkey_request():
    def card(ins, cla=0x80, p1=0, p2=0, data=b"", le=0, flags=0):
        return chunk(apdu(cla, ins, p1, p2, data, le), flags)

    lv = lambda b: struct.pack("<H", len(b)) + b
    put("vkey_request", "identity_random", card(0x04) + card(0x50, le=16) + card(0x14))
    put("vkey_request", "devauth", card(0x50, le=16) + card(0x10, data=bytes(16)))
    app = lv(b"FUZZAPP") + lv(b"12345678") + struct.pack("<I", 6) + lv(b"123456") + struct.pack("<I", 6) + struct.pack("<I", 0xFF)
    put("vkey_request", "create_list_open_app", card(0x20, data=app) + card(0x22) + card(0x26, data=lv(b"FUZZAPP")))
    put("vkey_request", "container_ops", card(0x26, data=lv(b"A")) + card(0x40, data=lv(b"C")) + card(0x46) + card(0x4A, data=b"\x00\x3f\x01\x00"))
    put("vkey_request", "read_write_ef", card(0xD4, p1=0x08, p2=0x50, le=64) + card(0xD6, p1=0x08, p2=0x51, data=bytes(64)) + card(0xD4, p1=0x08, p2=0x51, le=64))
    put("vkey_request", "sign_decrypt", card(0x74, data=bytes(34)) + card(0x7B, data=bytes(130)) + card(0x7A, data=bytes(100)))
    put("vkey_request", "bad_channel_cipher", chunk(b"\x02" + apdu(0x80, 0x04, 0, 0), 3) + card(0x04, flags=8))
    put("vkey_request", "raw_frames", chunk(frame(8, apdu(0x80, 0x04, 0, 0), seq=3), 4)
        + chunk(frame(8, apdu(0x80, 0x04, 0, 0))[:9], 4) + chunk(b"\xaa\xff\xff\x08", 4))
    fpm = lambda cmd, data=b"": chunk(struct.pack("<HH", cmd, len(data)) + data, 1)
    put("vkey_request", "module_enroll_touch", fpm(0x0001) + chunk(b"alice-thumb", 0x20) + chunk(b"", 0x60)
        + chunk(b"alice-thumb", 0x20) + chunk(b"", 0x40))
    put("vkey_request", "module_verify_cancel", fpm(0x0002) + fpm(0x0010, b"\x9f") + chunk(b"bob", 0x20))
    put("vkey_request", "module_count_flash", fpm(0x0003) + fpm(0x0009, struct.pack("<II", 0, 64)))
    vault = lambda cmd, data=b"", cipher=0: chunk(struct.pack("<HH", cmd, len(data)) + data, 2 | cipher)
    put("vkey_request", "vault_share_list", vault(0x0001, bytes(64)) + vault(0x0003, struct.pack("<I", 0)) + vault(0x0005, bytes(16), 8))
    put("vkey_request", "power_cycle", card(0x50, le=16) + card(0x10, data=bytes(16), flags=0x80))


def service_message():
    import json
    pub = "04" + "11" * 32 + "22" * 32
    msgs = [
        ("GetVersion", {}),
        ("Connect", []),
        ("OpenDev", []),
        ("GetDevInfo", []),
        ("GetDevInfo", [2]),
        ("EnumDevice", []),
        ("openDevice", [None]),
        ("GetClientID", []),
        ("GetFacPubKey", []),
        ("GetDevPubKey", []),
        ("SetSvrPubKey", [pub]),
        ("FactorySign", ["hello", 0]),
        ("DeviceSign", ["hello"]),
        ("FingerSign", ["hello", 3]),
        ("Sm2Decrypt", ["00" * 140]),
        ("Sm4Decrypt", ["00112233445566778899AABBCCDDEEFF", "0123456789ABCDEF0123456789ABCDEF"]),
        ("RegisterUser", ["alice", 1, "Alice"]),
        ("WaitEnroll", []),
        ("CancelEnroll", []),
        ("AddFinger", ["alice", 2, "Alice"]),
        ("GetUserList", []),
        ("GetFingerUsed", ["alice"]),
        ("GetFingerUnused", ["alice"]),
        ("LoginFinger", []),
        ("LoopVerify", []),
        ("CancelVerify", []),
        ("startVerify", ["alice"]),
        ("rkEnumContainer", [None]),
        ("rkLogin", ["", "123456"]),
        ("SignDataNormal", [None, "aGVsbG8="]),
        ("SignDataToPKCS7", [None, "aGVsbG8="]),
        ("DeleteFinger", ["alice", [1, 2]]),
        ("DeleteUser", ["alice"]),
        ("InitDev", ["1"]),
        ("closeDevice", [None]),
        ("Disconnect", []),
        ("NoSuchCommand", []),
    ]
    for i, (fn, params) in enumerate(msgs):
        text = json.dumps({"function": fn, "params": params, "randomId": str(i)}, separators=(",", ":"))
        put("service_message", "%02d_%s" % (i, fn), text)
    put("service_message", "90_not_json", "{\"function\":")
    put("service_message", "91_bad_envelope", '{"function":"GetVersion","extra":1}')
    put("service_message", "92_deep_nesting", '{"function":"GetVersion","params":' + "[" * 5000 + "]" * 5000 + "}")
    put("service_message", "93_comment_number_fn", '/*c*/{"function":7,"params":[]}')
    put("service_message", "94_long_hex", json.dumps({"function": "Sm2Decrypt", "params": ["AB" * 5000]}))
    put("service_message", "95_WatchDevice", '{"function":"WatchDevice","params":[false],"randomId":"w"}')
    put("service_message", "96_duplicate_member", '{"function":"GetVersion","params":[],"params":{}}')
    put("service_message", "97_text_after", '{"function":"GetVersion","params":[]} {}')
    put("service_message", "98_names_not_utf8",
        b'{"function":"Get\xe4\xb8\x41","params":["\xf0\x9f\x98\x41"],"randomId":"\xe4\xb8"}')


def service_writer():
    # Byte 0: low nibble the function name's length, high nibble the randomId's.
    put("service_writer", "ascii", b"\x00plain")
    put("service_writer", "bytes", b"\x11x\xffab\xc0\x80\xed\xb0\x80\x01\"\\")
    put("service_writer", "edges", b"\x00\xf4\x90\x80\x80\xf0\x9f\x98\x80\xe0\x80")
    put("service_writer", "utf8", b"\x23GetVersionab\xe4\xb8\xad\xe6\x96\x87")
    # The last byte of a sequence is no continuation byte.
    put("service_writer", "last_of_three", b"\x00\xe4\xb8\x41")
    put("service_writer", "last_of_four", b"\x00\xf0\x9f\x98\x41")
    put("service_writer", "last_in_names", b"\x43\xe4\xb8\x41\xf0\x9f\x98\x41ok")
    put("service_writer", "overlong_surrogate", b"\x00\xe0\x9f\xbf\xf0\x8f\xbf\xbf\xed\xa0\x80")
    put("service_writer", "largest_then_cut", b"\x04\xf4\x8f\xbf\xbfa\xe4\xb8")
    put("service_writer", "escapes", b"\x00\"\\/\b\f\n\r\t\x00\x1f\x7f\x80\xbf")


def main():
    util_hex()
    crypto_base64()
    crypto_der(certificate())
    transport_frame()
    transport_nuv()
    skf_reply()
    vkey_request()
    service_message()
    service_writer()


if __name__ == "__main__":
    sys.exit(main())
