// The simulated unit's request parsing: the RTU request assembler over any stream with quiet
// gaps, a well-formed request cut into pieces, the bootloader frame parser, and the whole unit
// answering any sequence of serial and TCP requests.
// Input: mode, then what the mode reads (see each part).

#include "FuzzSupport.h"

#include "DeviceFraming.h"
#include "SimulatedUnit.h"
#include "UnitModel.h"

#include <array>
#include <optional>
#include <utility>
#include <vector>

using corvane::fuzz::Reader;
using namespace corvane::sim;

namespace {

void checkFrames(const std::vector<Bytes>& frames) {
    for (const Bytes& f : frames) {
        FUZZ_CHECK(crcOk(f));
        const std::size_t len = rtuRequestLength(f);
        FUZZ_CHECK(len == 0 || len == f.size());
    }
}

// Pieces and quiet gaps: each step byte feeds 1..64 bytes or lets the line go quiet.
void streamWithGaps(Reader& in) {
    const std::uint8_t a = in.u8();
    RtuAssembler rtu = (a & 1) != 0 ? RtuAssembler(in.u8()) : RtuAssembler();
    while (in.remaining() > 0) {
        const std::uint8_t step = in.u8();
        switch (step & 3) {
        case 2:
            checkFrames(rtu.idle(false));
            break;
        case 3:
            checkFrames(rtu.idle(true));
            FUZZ_CHECK(rtu.buffered() == 0);
            break;
        default:
            checkFrames(rtu.feed(in.bytes((step >> 2) + 1u)));
            break;
        }
        FUZZ_CHECK(rtu.buffered() <= RtuAssembler::kMaxBuffer);
    }
}

// A request of a known function built from the input, cut in three pieces, reaches an empty
// assembler: it is found whole, at once, and nothing else is.
void requestInPieces(Reader& in) {
    static constexpr std::array<std::uint8_t, 18> kFunctions = {
        1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 15, 16, 17, 22, 23, 24, 103, 104};
    const std::uint8_t address = in.u8();
    const std::uint8_t fn = kFunctions[in.u8() % kFunctions.size()];
    const bool withAddress = (in.u8() & 1) != 0;
    Bytes req{address, fn};
    while (req.size() < 11) {
        req.push_back(in.u8());
    }
    if (fn == 15 || fn == 16 || fn == 104) {
        req[6] = in.u8();
    }
    if (fn == 23) {
        req[10] = in.u8();
    }
    const std::size_t len = rtuRequestLength(req);
    FUZZ_CHECK(len >= 4);
    req.resize(len - 2);
    for (std::size_t i = 11; i < req.size(); ++i) {
        req[i] = in.u8();
    }
    appendCrc(req);

    const std::size_t cut1 = in.u8() % (req.size() + 1);
    const std::size_t cut2 = cut1 + in.u8() % (req.size() - cut1 + 1);
    RtuAssembler rtu = withAddress ? RtuAssembler(address) : RtuAssembler();
    const auto whole = std::span<const std::uint8_t>(req);
    std::vector<Bytes> got;
    for (const auto& [from, to] :
         {std::pair{std::size_t{0}, cut1}, std::pair{cut1, cut2}, std::pair{cut2, req.size()}}) {
        const auto frames = rtu.feed(whole.subspan(from, to - from));
        // Nothing before the last byte, the request with it.
        if (to < req.size()) {
            FUZZ_CHECK(frames.empty());
        }
        got.insert(got.end(), frames.begin(), frames.end());
    }
    FUZZ_CHECK(got.size() == 1);
    FUZZ_CHECK(got.front() == req);
    FUZZ_CHECK(rtu.buffered() == 0);
}

// Any stream, then a frame after a clear: the frame's body comes out once, whole.
void bootFrames(Reader& in) {
    BootFrameParser parser;
    const std::size_t noise = in.u8();
    for (const Bytes& body : parser.feed(in.bytes(noise))) {
        FUZZ_CHECK(body.size() <= BootFrameParser::kMaxBody);
    }
    parser.clear();
    const std::uint8_t cmd = in.u8();
    const std::uint8_t len = in.u8();
    const auto data = in.bytes(in.u8());
    const std::size_t cut = in.u8();
    const Bytes frame = encodeBootFrame(cmd, len, data);
    const auto whole = std::span<const std::uint8_t>(frame);
    const std::size_t at = cut % (frame.size() + 1);
    std::vector<Bytes> bodies = parser.feed(whole.first(at));
    const auto rest = parser.feed(whole.subspan(at));
    bodies.insert(bodies.end(), rest.begin(), rest.end());
    FUZZ_CHECK(bodies.size() == 1);
    const Bytes& body = bodies.front();
    FUZZ_CHECK(body.size() == data.size() + 3);
    FUZZ_CHECK(body[0] == cmd && body[1] == len);
    FUZZ_CHECK(std::equal(data.begin(), data.end(), body.begin() + 2));
    FUZZ_CHECK(bodySumOk(body));
    FUZZ_CHECK(!parser.inFrame());
}

// Every answer of the unit is a whole frame of the protocol it was asked in.
void checkSerialAnswer(const Bytes& wire, std::uint8_t slave) {
    if (!wire.empty() && wire[0] == kDle) {
        BootFrameParser parser;
        const auto bodies = parser.feed(wire);
        FUZZ_CHECK(bodies.size() == 1);
        FUZZ_CHECK(bodySumOk(bodies.front()));
        return;
    }
    FUZZ_CHECK(wire.size() >= 5);
    FUZZ_CHECK(wire[0] == slave);
    FUZZ_CHECK(crcOk(wire));
}

// Step bytes: 0 raw serial bytes, 1 an RTU request with its CRC added, 2 a bootloader frame,
// 3 a TCP ADU, 4 time passes (the quiet-line tick).
void wholeUnit(Reader& in) {
    static const CarriedFirmware carried = readCarriedFirmware(defaultBuildDataFolder());
    Scenario sc;
    const std::uint8_t setup = in.u8();
    sc.startInBootloader = (setup & 1) != 0;
    sc.cpu1.version = (setup & 2) != 0 ? 216 : 215;
    sc.hmi.inBootMode = (setup & 4) != 0;
    sc.untimedBusyReads = (setup >> 3) & 3;
    const Scenario resolved = resolveScenario(sc, carried);
    TimePoint now{};
    UnitModel unit(resolved, FaultPlan{}, carried, now);
    const std::uint8_t slave = resolved.slaveAddress;
    auto check = [&](const std::vector<Outgoing>& out) {
        for (const Outgoing& o : out) {
            checkSerialAnswer(o.bytes, slave);
        }
    };
    for (int steps = 0; in.remaining() > 0 && steps < 64; ++steps) {
        const std::uint8_t step = in.u8();
        switch (step % 5) {
        case 0:
            check(unit.serialBytes(in.bytes(in.u8() % 64), now));
            break;
        case 1: {
            // Addressed to the unit more often than not, so that the requests are served.
            Bytes frame{(step & 0x80) != 0 ? in.u8() : slave};
            const auto body = in.bytes(in.u8() % 80);
            frame.insert(frame.end(), body.begin(), body.end());
            appendCrc(frame);
            check(unit.serialBytes(frame, now));
            break;
        }
        case 2: {
            const std::uint8_t cmd = in.u8();
            const std::uint8_t len = in.u8();
            check(unit.serialBytes(encodeBootFrame(cmd, len, in.bytes(in.u8() % 140)), now));
            break;
        }
        case 3: {
            const auto pdu = in.bytes(in.u8() % 260);
            Bytes adu{0x12,
                      0x34,
                      0,
                      0,
                      static_cast<std::uint8_t>((pdu.size() + 1) >> 8),
                      static_cast<std::uint8_t>(pdu.size() + 1),
                      slave};
            adu.insert(adu.end(), pdu.begin(), pdu.end());
            if (const auto reply = unit.tcpAdu(adu, now)) {
                const Bytes& r = reply->bytes;
                FUZZ_CHECK(r.size() >= 9 && r[0] == 0x12 && r[1] == 0x34 && r[2] == 0 && r[3] == 0);
                FUZZ_CHECK(static_cast<std::size_t>((r[4] << 8) | r[5]) == r.size() - 6);
            }
            break;
        }
        default:
            now += std::chrono::milliseconds(in.u8() * 20);
            check(unit.serialTick(now));
            break;
        }
    }
    (void)unit.summary(now);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in({data, size});
    switch (in.u8() % 4) {
    case 0:
        streamWithGaps(in);
        break;
    case 1:
        requestInPieces(in);
        break;
    case 2:
        bootFrames(in);
        break;
    default:
        wholeUnit(in);
        break;
    }
    return 0;
}
