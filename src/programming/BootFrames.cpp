#include "BootFrames.h"

#include "serial/RxCondition.h"
#include "serial/VexaComms.h"

#include <algorithm>
#include <array>

std::uint8_t BCC_Calc(std::span<const std::uint8_t> Buf, std::uint16_t First, std::uint16_t Last) {
    std::uint8_t sum = 0;
    for (std::size_t i = First; i <= Last && i < Buf.size(); ++i) {
        sum = static_cast<std::uint8_t>(sum + Buf[i]);
    }
    return sum;
}

namespace corvane {

std::vector<std::uint8_t> bootRequestBody(std::uint8_t cmd, std::uint8_t len,
                                          std::span<const std::uint8_t> data) {
    const std::size_t count = std::min<std::size_t>(data.size(), kBootMaxData);
    std::vector<std::uint8_t> body;
    body.reserve(count + 3);
    body.push_back(cmd);
    body.push_back(len);
    body.insert(body.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(count));
    const auto sum = BCC_Calc(body, 0, static_cast<std::uint16_t>(body.size() - 1));
    body.push_back(static_cast<std::uint8_t>(256 - sum));
    return body;
}

std::vector<std::uint8_t> stuffBootFrame(std::span<const std::uint8_t> body) {
    std::vector<std::uint8_t> frame;
    frame.reserve(4 + 2 * body.size());
    frame.push_back(kDle);
    frame.push_back(kStx);
    for (const auto b : body) {
        frame.push_back(b);
        if (b == kDle) {
            frame.push_back(kDle);
        }
    }
    frame.push_back(kDle);
    frame.push_back(kEtx);
    return frame;
}

std::vector<std::uint8_t> bootRequestFrame(std::uint8_t cmd, std::uint8_t len,
                                           std::span<const std::uint8_t> data) {
    return stuffBootFrame(bootRequestBody(cmd, len, data));
}

std::optional<std::vector<std::uint8_t>> unstuffBootFrame(std::span<const std::uint8_t> raw) {
    if (raw.size() < 2 || raw[0] != kDle || raw[1] != kStx) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> body;
    body.reserve(raw.size());
    for (std::size_t i = 2; i < raw.size(); ++i) {
        if (raw[i] != kDle) {
            body.push_back(raw[i]);
            continue;
        }
        // A DLE escapes the character after it; DLE ETX closes the frame.
        if (i + 1 >= raw.size()) {
            return std::nullopt; // cut after a lone DLE
        }
        if (raw[i + 1] == kEtx) {
            return body;
        }
        body.push_back(raw[i + 1]);
        ++i;
    }
    return std::nullopt; // no closing DLE ETX
}

int takeBootReply(std::span<const std::uint8_t> raw, std::uint8_t len,
                  std::span<std::uint8_t> reply) {
    const auto body = unstuffBootFrame(raw);
    if (!body) {
        return -1;
    }
    std::uint8_t sum = 0;
    for (const auto b : *body) {
        sum = static_cast<std::uint8_t>(sum + b);
    }
    // A short body would leave the caller with bytes it never received.
    if (sum != 0 || body->size() < 2u + len || reply.size() < len) {
        return -1;
    }
    std::copy_n(body->begin() + 2, len, reply.begin());
    return 1;
}

void bootReplyConditions(TRxCondition& cond) {
    cond.PrepRxBuffNew();
    cond.PrepRxBuffAdd(2, {kDle, kStx}, 1, 2, {kDle, kEtx}, 1, 0, 1, 0);
}

int readBootReply(TVexaComms& port, std::uint8_t len, std::span<std::uint8_t> reply) {
    std::array<std::uint8_t, kBootMaxReplyChars + 1> raw{};
    const std::uint16_t n = port.GetReply(1, raw.data(), kBootMaxReplyChars, 1, -1, -1);
    return takeBootReply(
        std::span<const std::uint8_t>(raw.data(), std::min<std::size_t>(n, kBootMaxReplyChars)),
        len, reply);
}

std::vector<std::uint8_t> bootAddressBytes(std::uint32_t address) {
    return {static_cast<std::uint8_t>(address & 0xFF),
            static_cast<std::uint8_t>((address >> 8) & 0xFF),
            static_cast<std::uint8_t>((address >> 16) & 0xFF)};
}

std::vector<std::uint32_t> eraseStepAddresses(std::uint32_t first, std::uint32_t last) {
    std::vector<std::uint32_t> steps;
    if (last < first) {
        return steps;
    }
    const std::uint64_t end = std::uint64_t{last} + 1;
    for (std::uint64_t a = first; a < end; a += kEraseStepBytes) {
        steps.push_back(static_cast<std::uint32_t>(a));
    }
    return steps;
}

std::vector<std::uint32_t> programBlockNumbers(std::uint32_t first, std::uint32_t last,
                                               std::span<const bool> blockUsed) {
    std::vector<std::uint32_t> blocks;
    if (last < first) {
        return blocks;
    }
    const std::uint64_t end = std::uint64_t{last} + 1;
    for (std::uint64_t a = first; a < end; a += kProgramBlockBytes) {
        const auto block = static_cast<std::uint32_t>(a / kProgramBlockBytes);
        if (block < blockUsed.size() && blockUsed[block]) {
            blocks.push_back(block);
        }
    }
    return blocks;
}

std::uint32_t percentOf(std::uint32_t done, std::uint32_t total) {
    if (total == 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(std::uint64_t{done} * 100 / total);
}

} // namespace corvane
