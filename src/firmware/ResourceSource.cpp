#include "ResourceSource.h"

#include "BuildData.h"

#include <QFile>

EResourceNotFound::EResourceNotFound(const QString& name)
    : std::runtime_error(QStringLiteral("Resource %1 not found").arg(name).toStdString())
    , m_name(name) {}

std::optional<QByteArray> QtResourceSource::read(const QString& upperName, qint64 maxBytes) const {
    QFile file(corvane::buildDataPath(upperName));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return maxBytes < 0 ? file.readAll() : file.read(maxBytes);
}

void MemoryResourceSource::set(const QString& name, const QByteArray& bytes) {
    m_resources.insert(name.toUpper(), bytes);
}

void MemoryResourceSource::remove(const QString& name) {
    m_resources.remove(name.toUpper());
}

std::optional<QByteArray> MemoryResourceSource::read(const QString& upperName,
                                                     qint64 maxBytes) const {
    const auto it = m_resources.constFind(upperName);
    if (it == m_resources.cend()) {
        return std::nullopt;
    }
    return maxBytes < 0 ? *it : it->left(maxBytes);
}

QByteArray loadResource(const ResourceSource& source, const QString& name, qint64 maxBytes) {
    auto bytes = source.read(name.toUpper(), maxBytes);
    if (!bytes) {
        throw EResourceNotFound(name);
    }
    return *std::move(bytes);
}

std::uint16_t resourceWord(const QByteArray& bytes) {
    std::uint16_t result = 0;
    if (!bytes.isEmpty()) {
        result = static_cast<std::uint8_t>(bytes[0]);
    }
    if (bytes.size() > 1) {
        result |= static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[1]) << 8);
    }
    return result;
}

std::optional<std::uint16_t> readResourceWord(const ResourceSource& source, const QString& name) {
    const auto bytes = source.read(name.toUpper(), 2);
    if (!bytes || bytes->isEmpty()) {
        return std::nullopt;
    }
    return resourceWord(*bytes);
}

const ResourceSource& embeddedResources() {
    static const QtResourceSource source;
    return source;
}
