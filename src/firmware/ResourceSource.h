#pragma once
// The embedded resources (words, images, release notes, product table) behind a small
// interface, so tests can supply their own. Names are looked up in upper case: "HFile_4001"
// finds the resource stored as HFILE_4001.

#include <QByteArray>
#include <QMap>
#include <QString>

#include <cstdint>
#include <optional>
#include <stdexcept>

// Raised for a resource the program does not carry; the text names it as it was asked for.
class EResourceNotFound : public std::runtime_error {
public:
    explicit EResourceNotFound(const QString& name);
    [[nodiscard]] QString name() const { return m_name; }
    [[nodiscard]] QString message() const { return QString::fromUtf8(what()); }

private:
    QString m_name;
};

class ResourceSource {
public:
    virtual ~ResourceSource() = default;
    // Up to maxBytes bytes from the start of the resource stored under upperName (all of it
    // when maxBytes is negative); nullopt when there is no such resource.
    [[nodiscard]] virtual std::optional<QByteArray> read(const QString& upperName,
                                                         qint64 maxBytes) const = 0;
};

// The build data compiled into the program.
class QtResourceSource final : public ResourceSource {
public:
    [[nodiscard]] std::optional<QByteArray> read(const QString& upperName,
                                                 qint64 maxBytes) const override;
};

// Resources held in memory (stored under the upper-case form of the name given).
class MemoryResourceSource final : public ResourceSource {
public:
    void set(const QString& name, const QByteArray& bytes);
    void remove(const QString& name);
    [[nodiscard]] std::optional<QByteArray> read(const QString& upperName,
                                                 qint64 maxBytes) const override;

private:
    QMap<QString, QByteArray> m_resources;
};

// Reads resource name (any letter case); throws EResourceNotFound when it is not there.
[[nodiscard]] QByteArray loadResource(const ResourceSource& source, const QString& name,
                                      qint64 maxBytes = -1);

// A word resource's value: two bytes, low byte first; a single byte is the low byte, no byte
// reads 0; bytes past the second are not part of it.
[[nodiscard]] std::uint16_t resourceWord(const QByteArray& bytes);
// The word stored under name (any letter case); nullopt when there is no such resource or it
// is empty. For readers that must not fail (a transcript); the image store raises instead.
[[nodiscard]] std::optional<std::uint16_t> readResourceWord(const ResourceSource& source,
                                                            const QString& name);

// The process's embedded build data.
[[nodiscard]] const ResourceSource& embeddedResources();
