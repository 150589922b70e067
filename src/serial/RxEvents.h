#pragma once
// The messages by which the receive thread hands its news to the serial link's thread. The
// generation tells which open of the port a message belongs to.

#include <QEvent>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace corvane::rx {

// One chunk handed over by the receive thread: a copy of its bytes (inline up to the size of
// the largest Modbus RTU frame, so a reply costs this one allocation), its stream position,
// and the open it belongs to.
class RxDataEvent final : public QEvent {
public:
    RxDataEvent(const std::uint8_t* bytes, std::size_t length, std::uint64_t streamOffset,
                std::uint64_t gen)
        : QEvent(eventType())
        , size(length)
        , offset(streamOffset)
        , generation(gen) {
        if (length > m_inline.size()) {
            m_heap = std::make_unique_for_overwrite<std::uint8_t[]>(length);
        }
        std::memcpy(m_heap ? m_heap.get() : m_inline.data(), bytes, length);
    }
    static QEvent::Type eventType() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    [[nodiscard]] const std::uint8_t* data() const {
        return m_heap ? m_heap.get() : m_inline.data();
    }
    std::size_t size;
    std::uint64_t offset;
    std::uint64_t generation;

private:
    std::array<std::uint8_t, 256> m_inline;
    std::unique_ptr<std::uint8_t[]> m_heap;
};

// The receive thread saw the device hang up during the open of this generation.
class RxHungUpEvent final : public QEvent {
public:
    explicit RxHungUpEvent(std::uint64_t gen)
        : QEvent(eventType())
        , generation(gen) {}
    static QEvent::Type eventType() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    std::uint64_t generation;
};

} // namespace corvane::rx
