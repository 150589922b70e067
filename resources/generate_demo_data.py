#!/usr/bin/env python3
"""Writes the demonstration build-data set into resources/demo/.

Every value here is invented for demonstration: the products, their numbers and labels,
the release notes and the image bytes (pseudo-random from a fixed seed, so that they look
enciphered and are the same on every run). Run it again after changing it and commit the
generated files with it:

    python3 resources/generate_demo_data.py [output-folder]
"""

import os
import struct
import sys

IMAGE_SIZE = 65536
SEED = 0x5EED_C0A7_2024_0001

# Carried firmware: CPU-1's product, CPU-2's and the HMI's products.
RM_NUM = {1: 4001, 2: 5103, 3: 6204}
FW_VER = {1: 245, 2: 232, 3: 112}
PROC_NUM = {1: 4680, 2: 4680, 3: 4680}
PROG_MEM_START = {1: 0x0800, 2: 0x1000, 3: 0x1000}
WORDS = {
    "EXT_PROC_REV": 1,
    "MB_FW_SLAVE": 23,
    "MB_FW_OFFSET": 0,
    "MB_CTRL_SLAVE": 23,
    "MB_CTRL_OFFSET": 12,
    # What CPU-2 or the HMI reports while its bootloader runs; no product has this number.
    "BOOT_RM_NUMBER": 9000,
}
# Family-2 gateways that get a CPU-1 image (4004 has no HMI).
CPU1_IMAGES = [4001, 4002, 4003, 4004, 4005, 4006]

U_VALUES = [20, 50, 64]


def products():
    """The 53 rows in table order: (RM, label, D, H)."""
    rows = []
    for i, (rm, label) in enumerate([
            (5101, "Core CC-1"), (5102, "Core CC-2"), (5103, "Core CC-3"),
            (5104, "Core CC-3 XL"), (5105, "Core CC-4"), (5106, "Core CC-4 XL")]):
        rows.append((rm, label, False, 2 if rm in (5103, 5104) else i % 4))
    for i, (rm, label) in enumerate([
            (6201, "Touch TP-35"), (6202, "Touch TP-43"), (6203, "Touch TP-50"),
            (6204, "Touch TP-70"), (6205, "Touch TP-70 W"), (6206, "Touch TP-101")]):
        rows.append((rm, label, True, 2 if rm in (6203, 6204) else (i + 1) % 4))
    family0 = ["Lite", "Plus", "Duo", "Quad", "Pro", "Pro 16", "Pro 32", "Mini", "Flex",
               "Hub"]
    for i, name in enumerate(family0):
        rows.append((1101 + i, f"CV-A{10 + 2 * i:02d} {name}", i % 3 != 1, 0))
    family1 = ["Lite", "Plus", "Duo", "Quad", "Pro", "Pro 16", "Mini", "Flex", "Hub",
               "Max"]
    for i, name in enumerate(family1):
        rows.append((2101 + i, f"CV-B{10 + 2 * i:02d} {name}", i % 4 != 2, 1))
    family2 = [(4001, "CV-C20 Gateway", True), (4002, "CV-C22 Gateway", True),
               (4003, "CV-C24 Gateway", True), (4004, "CV-C26 Compact", False),
               (4005, "CV-C30 Gateway", True), (4006, "CV-C40 Gateway", True),
               (4007, "CV-C42 Gateway", True), (4008, "CV-C44 Compact", False),
               (4009, "CV-C50 Gateway", True), (4010, "CV-C52 Gateway", True),
               (4011, "CV-C60 Rack", True), (4012, "CV-C62 Rack", False)]
    for rm, label, hmi in family2:
        rows.append((rm, label, hmi, 2))
    family3 = ["Lite", "Plus", "Duo", "Quad", "Pro", "Mini", "Flex", "Hub", "Max"]
    for i, name in enumerate(family3):
        rows.append((3101 + i, f"CV-D{10 + 2 * i:02d} {name}", i % 2 == 0, 3))
    return rows


def splitmix64(state):
    while True:
        state = (state + 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & 0xFFFFFFFFFFFFFFFF
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & 0xFFFFFFFFFFFFFFFF
        yield z ^ (z >> 31)


def fnv1a64(text):
    h = 0xCBF29CE484222325
    for b in text.encode("ascii"):
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def image_bytes(name):
    gen = splitmix64(SEED ^ fnv1a64(name))
    return b"".join(struct.pack("<Q", next(gen)) for _ in range(IMAGE_SIZE // 8))


def notes(title, versions):
    lines = [title]
    for version, changes in versions:
        lines.append(version)
        for change in changes:
            lines.append(change)
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


NOTES_CPU1 = notes("Release Notes", [
    ("v2.45", ["   - Faster return to the building network after a mains dip",
               "   - The fault history keeps the last 64 entries",
               "      - Each entry holds the plant's fault code and the time"]),
    ("v2.44", ["   - Outdoor temperatures below -20 C are read correctly"]),
    ("v2.40", ["   - Support for the CV-C40 Gateway",
               "   - Register map extended",
               "      - Registers 40 to 47 mirror the unit status",
               "      - Register 12 accepts the service commands"]),
    ("v2.32", ["   - Fan speed steps follow the plant's own setting"]),
    ("v2.00", ["   - First release of the upgradeable firmware"]),
])

NOTES_CPU2 = notes(f"RM{RM_NUM[2]} Release Notes", [
    ("v2.32", ["   - Quicker answers on the plant bus under load",
               "   - Schedules survive a power cut",
               "      - The last 8 schedule changes are kept"]),
    ("v2.30", ["   - Corrected the set-point limits in cooling mode"]),
    ("v2.10", ["   - Support for four indoor units per line"]),
])

NOTES_HMI = notes(f"RM{RM_NUM[3]} Release Notes", [
    ("v1.12", ["   - Brighter backlight steps",
               "   - The service menu asks for the installer code",
               "      - Three wrong codes lock the menu for 5 minutes"]),
    ("v1.10", ["   - Larger digits on the home screen"]),
    ("v1.05", ["   - First release that the updater can replace"]),
])


def word(value):
    return struct.pack("<H", value)


def write(folder, name, data):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "demo")
    os.makedirs(folder, exist_ok=True)

    for n in (1, 2, 3):
        write(folder, f"PROC_NUM_{n}", word(PROC_NUM[n]))
        write(folder, f"RM_NUM_{n}", word(RM_NUM[n]))
        write(folder, f"FW_VER_{n}", word(FW_VER[n]))
        write(folder, f"PROG_MEM_START_{n}", word(PROG_MEM_START[n]))
    for name, value in WORDS.items():
        write(folder, name, word(value))

    write(folder, "HFILE_2", image_bytes("HFILE_2"))
    write(folder, "HFILE_3", image_bytes("HFILE_3"))
    for rm in CPU1_IMAGES:
        write(folder, f"HFILE_{rm}", image_bytes(f"HFILE_{rm}"))

    write(folder, "VERTEXT_CPU1", NOTES_CPU1)
    write(folder, f"VERTEXT_{RM_NUM[2]}", NOTES_CPU2)
    write(folder, f"VERTEXT_{RM_NUM[3]}", NOTES_HMI)

    rows = products()
    assert len(rows) == 53
    assert len({r[0] for r in rows}) == 53
    csv = ["RM,L,D,N,H,U,M,T,B"]
    for i, (rm, label, hmi, family) in enumerate(rows):
        csv.append(",".join(str(v) for v in (
            rm, label, int(hmi), int(i % 2 == 0), family, U_VALUES[i % 3],
            int(i % 3 == 0), int(i % 4 == 1), int(i % 5 == 2))))
    write(folder, "PRODUCTS.csv", ("\n".join(csv) + "\n").encode("ascii"))


if __name__ == "__main__":
    main()
