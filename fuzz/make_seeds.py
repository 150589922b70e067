#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target (fuzz/corpus/<target>/) from real frames: the
requests and replies the updater and the unit exchange, and the demonstration build data.
Each file follows its target's input layout (see the comment at the top of fuzz_<target>.cpp)."""

import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEMO = os.path.join(HERE, "..", "resources", "demo")
DLE, STX, ETX = 0x10, 0x02, 0x03


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def rtu(*parts):
    body = bytes(parts)
    c = crc16(body)
    return body + bytes([c & 0xFF, c >> 8])


def read_reply(slave, words, fn=3):
    data = b"".join(struct.pack(">H", w) for w in words)
    return rtu(slave, fn, len(data), *data)


def boot_frame(cmd, length, data=b""):
    body = bytes([cmd, length]) + bytes(data)
    body += bytes([(256 - sum(body) % 256) % 256])
    out = bytes([DLE, STX])
    for b in body:
        out += bytes([b, DLE]) if b == DLE else bytes([b])
    return out + bytes([DLE, ETX])


def mbap(tid, unit, pdu):
    return struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + bytes(pdu)


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# ---- rx_conditions: conditions, chunk, condnum, bufsize, pre/mid/post, stream -------------
def cond(start, startmode, end, endmode, minpre=0, minmid=1, minpost=0, nstart=None, nend=None):
    nstart = len(start) if nstart is None else nstart
    nend = len(end) if nend is None else nend
    return (bytes([nstart, startmode, len(start)]) + bytes(start) +
            bytes([nend, endmode, len(end)]) + bytes(end) + bytes([minpre, minmid, minpost]))


def rx_seed(name, conds, stream, chunk=0, condnum=1, bufsize=300, pre=0xFF, mid=0xFF, post=0xFF):
    data = bytes([len(conds)]) + b"".join(conds) + bytes([chunk, condnum])
    data += struct.pack(">H", bufsize) + bytes([pre, mid, post]) + stream
    write("rx_conditions", name, data)


def rtu_conds(slave, fn, post):
    return [cond([slave], 0, [fn], 0, 0, 1, post), cond([slave], 0, [fn | 0x80], 0, 0, 1, 4)]


BOOT_COND = [cond([DLE, STX], 1, [DLE, ETX], 1, 0, 1, 0)]
rd2 = read_reply(0x17, [4001, 215])
rx_seed("rtu-read-2", rtu_conds(0x17, 3, 8), rd2, pre=0, mid=0xFF)
rx_seed("rtu-read-2-bytewise", rtu_conds(0x17, 3, 8), rd2, chunk=1, pre=0)
rx_seed("rtu-read-noise", rtu_conds(0x17, 3, 8), bytes([0x55, 0xAA, 0x03]) + rd2, chunk=3, pre=0)
rx_seed("rtu-exception", rtu_conds(0x17, 3, 8), rtu(0x17, 0x83, 0x02), condnum=2, pre=0)
rx_seed("rtu-write-echo", rtu_conds(0x17, 16, 7), rtu(0x17, 16, 0x00, 0x20, 0x00, 0x10), pre=0)
rx_seed("rtu-cut", rtu_conds(0x17, 3, 8), rd2[:5], pre=0)
rx_seed("rtu-short-buffer", rtu_conds(0x17, 3, 8), rd2, bufsize=4, pre=0)
rx_seed("rtu-mid-zero", rtu_conds(0x17, 3, 8), rd2, pre=0, mid=0, post=0xFF)
rx_seed("rtu-pre-some", rtu_conds(0x17, 3, 8), b"\x01\x02" + rd2, pre=1, mid=2, post=3)
rx_seed("rtu-no-list", [], rd2)
rx_seed("rtu-bad-condnum", rtu_conds(0x17, 3, 8), rd2, condnum=7)
rx_seed("boot-model", BOOT_COND, boot_frame(0x00, 2, b"\x0f\xa1"), pre=1)
rx_seed("boot-dle-data", BOOT_COND, boot_frame(0x08, 4, b"\x10\x10\x01\x02"), pre=1, chunk=2)
rx_seed("boot-noise", BOOT_COND, b"\x10\x10\x02\x00" + boot_frame(0x02, 0), pre=1)
rx_seed("boot-cut", BOOT_COND, boot_frame(0x03, 0)[:-1], pre=1)
many = [cond([i], 0, [i + 1], 0, 0, 0, 0) for i in range(12)]
rx_seed("twelve-conditions", many, bytes(range(16)), condnum=10)
rx_seed("seven-start-chars", [cond([1, 2, 3, 4, 5, 6, 7], 1, [8], 0, nstart=7)],
        bytes(range(1, 12)))
rx_seed("no-end", [cond([0x17], 0, [], 0, nend=0)], rd2)
rx_seed("no-start", [cond([], 0, [0x03], 0, nstart=0)], rd2)
rx_seed("min-counts", [cond([0x17], 0, [0x03], 0, 2, 3, 5)], b"\x00\x00" + rd2, pre=2, mid=1)
rx_seed("overflow", rtu_conds(0x17, 3, 8), bytes(300) + rd2, pre=0)

# ---- rtu_reply: slave, function, count, chunk, stream --------------------------------------
def rtu_seed(name, slave, fn, count, stream, chunk=0):
    write("rtu_reply", name, bytes([slave, fn, count, chunk]) + stream)


rtu_seed("identify-cpu1", 0x17, 3, 2, read_reply(0x17, [4001, 215]))
rtu_seed("identify-hmi", 0x17, 3, 2, read_reply(0x17, [6204, 105]), chunk=1)
rtu_seed("status-busy", 0x17, 3, 2, read_reply(0x17, [0x8000, 0x0010]))
rtu_seed("status-finished", 0x17, 3, 2, read_reply(0x17, [0x4000, 0x0000]), chunk=5)
rtu_seed("window-16", 0x17, 3, 16, read_reply(0x17, list(range(16))))
rtu_seed("exception-02", 0x17, 3, 2, rtu(0x17, 0x83, 0x02))
rtu_seed("exception-04", 0x17, 16, 0, rtu(0x17, 0x90, 0x04))
rtu_seed("write-echo", 0x17, 16, 0, rtu(0x17, 16, 0x00, 0x10, 0x00, 0x10))
rtu_seed("bad-crc", 0x17, 3, 2, read_reply(0x17, [1, 2])[:-1] + b"\x00")
rtu_seed("noise-before", 0x17, 3, 2, b"\x03\x99\x17" + read_reply(0x17, [1, 2]))
rtu_seed("trailing-byte", 0x17, 3, 2, read_reply(0x17, [1, 2]) + b"\x00")
rtu_seed("byte-count-large", 0x17, 3, 2, rtu(0x17, 3, 0xFE, 0, 1, 0, 2))
rtu_seed("byte-count-odd", 0x17, 3, 2, rtu(0x17, 3, 3, 0, 1, 0))
rtu_seed("cut", 0x17, 3, 2, read_reply(0x17, [1, 2])[:6])
rtu_seed("other-slave", 0x17, 3, 2, read_reply(0x18, [1, 2]))
rtu_seed("zero-count", 0x17, 3, 0, rtu(0x17, 3, 0))
rtu_seed("general-regs", 0x01, 3, 3, read_reply(0x01, [0x0100, 0x0101, 0x0102]))
rtu_seed("read-125", 0x17, 3, 125, read_reply(0x17, list(range(0, 250, 2))), chunk=17)
rtu_seed("read-fn4", 0x17, 4, 2, read_reply(0x17, [7, 8], fn=4))
rtu_seed("two-replies", 0x17, 3, 1, read_reply(0x17, [1]) + read_reply(0x17, [2]))
rtu_seed("slave-in-noise", 0x17, 3, 1, b"\x17\x17\x17" + read_reply(0x17, [0x1703]))
rtu_seed("exception-then-reply", 0x17, 3, 1, rtu(0x17, 0x83, 0x04) + read_reply(0x17, [9]))

# ---- boot_reply: len, chunk, stream --------------------------------------------------------
def boot_seed(name, length, stream, chunk=0):
    write("boot_reply", name, bytes([length, chunk]) + stream)


boot_seed("model", 2, boot_frame(0x00, 2, b"\x0f\xa1"))
boot_seed("info", 4, boot_frame(0x08, 4, b"\x01\x02\x00\x69"), chunk=3)
boot_seed("erase-ack", 0, boot_frame(0x03, 0))
boot_seed("program-ack", 0, boot_frame(0x02, 0), chunk=1)
boot_seed("write-byte-ack", 0, boot_frame(0x05, 0))
boot_seed("dle-in-data", 2, boot_frame(0x00, 2, b"\x10\x10"))
boot_seed("dle-bcc", 1, boot_frame(0x00, 1, bytes([0xEF])))
boot_seed("noise-before", 2, b"\x55\x10\x00" + boot_frame(0x00, 2, b"\x0f\xa1"))
boot_seed("bad-bcc", 2, boot_frame(0x00, 2, b"\x0f\xa1")[:-3] + b"\x00\x10\x03")
boot_seed("cut", 2, boot_frame(0x00, 2, b"\x0f\xa1")[:-2])
boot_seed("short-body", 4, boot_frame(0x08, 1, b"\x01"))
boot_seed("lone-dle-escape", 2, b"\x10\x02\x00\x02\x10\x41\x10\x03")
boot_seed("long-reply", 128, boot_frame(0x07, 128, bytes(range(128)) + bytes(64)))
boot_seed("two-frames", 2, boot_frame(0x00, 2, b"\x01\x02") + boot_frame(0x00, 2, b"\x03\x04"))
boot_seed("longer-than-200", 128, boot_frame(0x02, 128, bytes([0x10]) * 128))
boot_seed("restart-inside", 2, b"\x10\x02\x00" + boot_frame(0x00, 2, b"\x12\x34"))
boot_seed("trailing-noise", 2, boot_frame(0x00, 2, b"\x0f\xa1") + b"\x10\x10\x03\x99")
boot_seed("info-version", 4, boot_frame(0x08, 4, b"\x01\x02\x00\x69") , chunk=1)
boot_seed("etx-in-data", 2, boot_frame(0x00, 2, b"\x03\x02"))
boot_seed("len-beyond-body", 10, boot_frame(0x00, 2, b"\x0f\xa1"))

# ---- tcp_reply: tid, function, kind, count, reply ------------------------------------------
def tcp_seed(name, tid, fn, read, count, reply):
    write("tcp_reply", name, struct.pack(">HBBB", tid, fn, 1 if read else 0, count) + reply)


tcp_seed("read-2", 7, 3, True, 2, mbap(7, 0x17, [3, 4, 0x0F, 0xA1, 0x00, 0xD7]))
tcp_seed("read-1", 8, 3, True, 1, mbap(8, 0x17, [3, 2, 0x01, 0x00]))
tcp_seed("write-single", 9, 6, False, 0, mbap(9, 0x17, [6, 0, 0x0C, 0x19, 0x66]))
tcp_seed("write-multi", 10, 16, False, 0, mbap(10, 0x17, [16, 0, 0x64, 0, 2]))
tcp_seed("exception", 11, 3, True, 2, mbap(11, 0x17, [0x83, 0x02]) + b"\x00" * 3)
tcp_seed("wrong-tid", 12, 3, True, 1, mbap(13, 0x17, [3, 2, 0, 1]))
tcp_seed("protocol-1", 12, 3, True, 1, struct.pack(">HHHB", 12, 1, 5, 0x17) + bytes([3, 2, 0, 1]))
tcp_seed("length-wrong", 14, 3, True, 2, struct.pack(">HHHB", 14, 0, 5, 0x17) + bytes([3, 4, 0, 1, 0, 2]))
tcp_seed("byte-count-short", 15, 3, True, 2, mbap(15, 0x17, [3, 2, 0, 1, 0, 2]))
tcp_seed("short", 16, 3, True, 2, mbap(16, 0x17, [3])[:7])
tcp_seed("header-only", 17, 6, False, 0, mbap(17, 0x17, [])[:6])
tcp_seed("fn-bit7", 18, 0x83, True, 1, mbap(18, 0x17, [0x83, 2, 0, 1]))
tcp_seed("read-16", 20, 3, True, 16, mbap(20, 0x17, [3, 32] + list(range(32))))
tcp_seed("read-125", 21, 3, True, 125, mbap(21, 0x17, [3, 250] + [0x5A] * 250))
tcp_seed("exception-04", 22, 16, False, 0, mbap(22, 0x17, [0x90, 0x04]) + bytes(3))
tcp_seed("write-length-7", 23, 6, False, 0, mbap(23, 0x17, [6, 0, 12, 0x19, 0x66, 0]))
tcp_seed("read-fn4", 24, 4, True, 1, mbap(24, 0x17, [4, 2, 0xAB, 0xCD]))
tcp_seed("tid-ffff", 0xFFFF, 3, True, 1, mbap(0xFFFF, 0x17, [3, 2, 0, 1]))
tcp_seed("trailing", 25, 3, True, 1, mbap(25, 0x17, [3, 2, 0, 1]) + b"\x00\x00")
tcp_seed("unit-ff", 26, 3, True, 1, mbap(26, 0xFF, [3, 2, 0, 1]))
tcp_seed("zero-count", 27, 3, True, 0, mbap(27, 0x17, [3, 0]))
tcp_seed("control-echo", 28, 6, False, 0, mbap(28, 0x17, [6, 0, 12, 0x1B, 0xC5]))

# ---- sim_requests: mode 0 stream, 1 request in pieces, 2 bootloader frames ------------------
def steps(*pieces):
    out = b""
    for p in pieces:
        if p == "idle":
            out += b"\x02"
        elif p == "stale":
            out += b"\x03"
        else:
            for i in range(0, len(p), 64):
                part = p[i:i + 64]
                out += bytes([(len(part) - 1) << 2]) + part
    return out


def sim_stream(name, address, *pieces):
    head = bytes([0, 1, address]) if address is not None else bytes([0, 0])
    write("sim_requests", name, head + steps(*pieces))


identify = rtu(0x17, 3, 0, 0, 0, 2)
upgrade = rtu(0x17, 103, 0, 12, 0x19, 0x66)
window = rtu(0x17, 104, 0, 0x10, 0, 0x10, 0x20, *([0x5C] + [0] * 31))
write16 = rtu(0x17, 16, 0x84, 0x06, 0x00, 0x06, 0x0C,
              0x84, 0xFF, 0x02, 0x11, 0x11, 0xB1, 0x13, 0x0D, 0x70, 0x75, 0x00, 0x00)
sim_stream("identify", 0x17, identify)
sim_stream("identify-pieces", None, identify[:3], identify[3:])
sim_stream("upgrade-mode", 0x17, upgrade, "idle")
sim_stream("window-block", 0x17, window[:20], window[20:], "idle")
sim_stream("write-window-crc", None, write16[:16], write16[16:])
sim_stream("write-window-crc-addr", 0x17, write16[:16], "idle", write16[16:])
sim_stream("noise-then-read", 0x17, b"\xff\x17\xaa\x03\x10", identify)
sim_stream("bad-crc-then-read", None, identify[:-1] + b"\x00", identify)
sim_stream("unknown-function", None, rtu(0x17, 0x41, 1, 2), "idle")
sim_stream("stale", None, identify[:4], "stale", identify)
sim_stream("back-to-back", 0x17, identify + upgrade + window)


def sim_request(name, address, fn_index, with_address, fields, count, data, cut1, cut2):
    write("sim_requests", name, bytes([1, address, fn_index, with_address]) + bytes(fields) +
          bytes([count]) + bytes(data) + bytes([cut1, cut2]))


# Functions in the target's order: 1 2 3 4 5 6 7 8 11 12 15 16 17 22 23 24 103 104.
sim_request("fn16-crc-window", 0x17, 11, 0, [0x84, 0x06, 0x00, 0x06, 0x0C, 0x84, 0xFF, 0x02, 0x11],
            0x0C, [0x11, 0xB1, 0x13, 0x0D, 0x70, 0x75, 0x00, 0x00], 16, 5)
sim_request("fn16-crc-window-addr", 0x17, 11, 1,
            [0x84, 0x06, 0x00, 0x06, 0x0C, 0x84, 0xFF, 0x02, 0x11],
            0x0C, [0x11, 0xB1, 0x13, 0x0D, 0x70, 0x75, 0x00, 0x00], 16, 5)
sim_request("read", 0x17, 2, 0, [0, 0, 0, 2, 0, 0, 0, 0, 0], 0, [], 3, 2)
sim_request("fn103", 0x17, 16, 1, [0, 12, 0x22, 0x2D, 0, 0, 0, 0, 0], 0, [], 8, 0)
sim_request("fn104", 0x17, 17, 0, [0, 0x20, 0, 0x10, 0x20, 0xA6, 0, 1, 2], 0x20, list(range(29)), 7, 20)
sim_request("fn23", 0x01, 14, 0, [0, 0, 0, 1, 0, 0x10, 0, 1, 2], 2, [0xAB, 0xCD], 9, 3)
sim_request("fn7", 0x17, 6, 0, [0] * 9, 0, [], 1, 1)


def sim_boot(name, noise, cmd, length, data, cut):
    write("sim_requests", name, bytes([2, len(noise)]) + bytes(noise) +
          bytes([cmd, length, len(data)]) + bytes(data) + bytes([cut]))


sim_boot("model", b"", 0x00, 2, b"", 3)
sim_boot("erase", b"\x10\x02\x03", 0x03, 8, b"\x00\x08\x00", 5)
sim_boot("program-dle", b"\x10", 0x02, 2, b"\x00\x10\x00" + bytes(range(16)) * 8, 60)
sim_boot("reset", b"\x10\x10\x10", 0x00, 0, b"", 0)


def unit_seed(name, setup, *steps_):
    out = bytes([3, setup])
    for st in steps_:
        kind, payload = st
        if kind == "rtu":
            out += bytes([1, len(payload)]) + bytes(payload)
        elif kind == "boot":
            cmd, length, data = payload
            out += bytes([2, cmd, length, len(data)]) + bytes(data)
        elif kind == "tcp":
            out += bytes([3, len(payload)]) + bytes(payload)
        elif kind == "wait":
            out += bytes([4, payload // 20])
        else:
            out += bytes([0, len(payload)]) + bytes(payload)
    write("sim_requests", name, out)


unit_seed("unit-identify", 0, ("rtu", [3, 0, 0, 0, 2]), ("rtu", [3, 0, 8, 0, 2]),
          ("rtu", [3, 0, 10, 0, 2]))
unit_seed("unit-identify-216", 2, ("rtu", [3, 0, 0, 0, 2]), ("rtu", [3, 0, 16, 0, 2]),
          ("rtu", [3, 0, 32, 0, 2]))
unit_seed("unit-bootloader", 1, ("boot", (0, 2, b"")), ("boot", (8, 4, b"")),
          ("boot", (3, 8, b"\x00\x08\x00")), ("boot", (2, 2, b"\x00\x08\x00" + bytes(128))),
          ("boot", (5, 1, b"\x00\x00\x00\x01")), ("boot", (0, 0, b"")))
unit_seed("unit-upgrade-window", 0, ("rtu", [103, 0, 12, 0x19, 0x66]),
          ("rtu", [104, 0, 16, 0, 16, 32, 0x5C, 0, 1] + [0] * 29), ("wait", 100),
          ("rtu", [3, 0, 16, 0, 2]), ("rtu", [3, 0, 16, 0, 2]), ("rtu", [3, 0, 16, 0, 2]))
unit_seed("unit-data-block", 4, ("rtu", [103, 0, 12, 0x19, 0x66]),
          ("rtu", [104, 0, 16, 0, 16, 32, 0xA6, 0, 1] + list(range(29))), ("rtu", [3, 0, 16, 0, 2]))
unit_seed("unit-to-bootloader", 0, ("rtu", [103, 0, 12, 0x22, 0x2D]), ("wait", 3000),
          ("boot", (0, 2, b"")), ("boot", (0, 0, b"")), ("wait", 3000), ("rtu", [3, 0, 0, 0, 2]))
unit_seed("unit-restart", 0, ("rtu", [103, 0, 12, 0x1B, 0xC5]), ("wait", 3000),
          ("rtu", [3, 0, 0, 0, 2]))
unit_seed("unit-general", 0, ("rtu", [6, 0, 100, 0x12, 0x34]),
          ("rtu", [16, 0, 101, 0, 2, 4, 1, 2, 3, 4]), ("rtu", [3, 0, 100, 0, 3]),
          ("rtu", [3, 0, 200, 0, 1]), ("rtu", [0x41, 1]), ("raw", identify[:5]), ("wait", 20))
unit_seed("unit-tcp", 0, ("tcp", [3, 0, 0, 0, 2]), ("tcp", [6, 0, 100, 0x12, 0x34]),
          ("tcp", [16, 0, 100, 0, 1, 2, 0xAB, 0xCD]), ("tcp", [104, 0, 16]), ("tcp", [3]))

# ---- build_data: (selector, length, bytes) records, then CPU-1's identified RM -------------
NAMES = ["PRODUCTS.csv", "MB_FW_SLAVE", "MB_FW_OFFSET", "MB_CTRL_SLAVE", "MB_CTRL_OFFSET",
         "EXT_PROC_REV", "BOOT_RM_NUMBER", "PROC_NUM_1", "PROC_NUM_2", "PROC_NUM_3", "RM_NUM_1",
         "RM_NUM_2", "RM_NUM_3", "FW_VER_1", "FW_VER_2", "FW_VER_3", "PROG_MEM_START_1",
         "PROG_MEM_START_2", "PROG_MEM_START_3", "HFILE_2", "HFILE_3", "VERTEXT_CPU1"]


def demo(name, limit=None):
    with open(os.path.join(DEMO, name), "rb") as f:
        data = f.read()
    return data if limit is None else data[:limit]


def records(items, rm):
    out = b""
    for selector, data in items:
        out += bytes([selector]) + struct.pack(">H", len(data)) + data
    return out + struct.pack(">H", rm)


def demo_set(image_bytes=64, products=None):
    items = []
    for i, name in enumerate(NAMES):
        data = demo(name, image_bytes if name.startswith("HFILE") else None)
        if i == 0 and products is not None:
            data = products
        items.append((i, data))
    items.append((22, demo("VERTEXT_5103")))
    items.append((23, demo("VERTEXT_6204")))
    items.append((24, demo("HFILE_4001", image_bytes)))
    return items


write("build_data", "demo", records(demo_set(), 4001))
write("build_data", "demo-other-rm", records(demo_set(), 4004))
write("build_data", "demo-no-cpu1-image", records(demo_set()[:-1], 4001))
write("build_data", "demo-unknown-product",
      records(demo_set(products=b"RM,L,D,N,H,U,M,T,B\r\n5101,Core CC-1,0,1,0,20,1,0,0\r\n"), 4001))
write("build_data", "products-bad-bool",
      records([(0, b"RM,L,D,N,H,U,M,T,B\n4001,X,2,0,2,1,0,0,0\n")], 4001))
write("build_data", "products-short-line", records([(0, b"RM,L,D,N,H,U,M,T,B\n4001,X\n")], 0))
write("build_data", "products-bad-header", records([(0, b"RM;L;D\n")], 0))
write("build_data", "products-duplicate",
      records([(0, b"RM,L,D,N,H,U,M,T,B\n4001,A,1,0,2,1,0,0,0\n4001,B,0,0,1,1,0,0,0\n\n")], 4001))
write("build_data", "words-one-byte", records([(1, b"\x17"), (5, b"\x03"), (10, b"")], 0))
write("build_data", "release-notes-mixed",
      records([(21, b"first\r\nsecond\rthird\nfourth\r\n\r\n")], 0))
odd = demo_set()
odd[16] = (16, b"\x01\x08")  # a program range that is not whole erase steps
odd[7] = (7, b"\x39\x30")    # an unknown processor number
write("build_data", "demo-odd-range", records(odd, 4001))

def with_items(changes, rm=4001):
    items = dict(demo_set())
    items.update(changes)
    return records(sorted(items.items()), rm)


write("build_data", "proc-2525", with_items({7: b"\xdd\x09", 8: b"\xdd\x09"}))
write("build_data", "proc-4321", with_items({9: b"\xe1\x10"}))
write("build_data", "rev-c", with_items({5: b"\x03\x00"}))
write("build_data", "products-crlf-spaces",
      with_items({0: b"RM,L,D,N,H,U,M,T,B\r\n 4001 , CV-C20 ,1,1, 2 ,64,0,0,1\r\n"}))
write("build_data", "image-one-byte", with_items({19: b"\x5f", 24: b"\xf3"}))
write("build_data", "rm-one-byte", with_items({10: b"\xa1"}))
write("build_data", "identified-rm-2", with_items({}, rm=2))
write("build_data", "no-release-notes", records([(i, d) for i, d in demo_set() if i < 21], 4001))
write("build_data", "start-past-end", with_items({17: b"\xff\xff", 18: b"\x00\x00"}))
write("build_data", "products-empty", with_items({0: b""}))
write("build_data", "products-header-only", with_items({0: b"RM,L,D,N,H,U,M,T,B\n"}))
sys.exit(0)
