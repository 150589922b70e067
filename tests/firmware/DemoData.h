#pragma once
// The demonstration build data as the tests see it: read from the folder on disk into a
// memory resource source, so that the tests do not depend on which folder the build embeds.

#include "firmware/ProductTable.h"
#include "firmware/ResourceSource.h"

#include <QDir>
#include <QFile>

inline MemoryResourceSource resourcesFromFolder(const QString& folder) {
    MemoryResourceSource source;
    const QDir dir(folder);
    for (const QString& name : dir.entryList(QDir::Files)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly)) {
            source.set(name, file.readAll());
        }
    }
    return source;
}

inline MemoryResourceSource demoResources() {
    return resourcesFromFolder(QStringLiteral(DEMO_DATA_DIR));
}

inline QByteArray demoFile(const QString& name) {
    QFile file(QDir(QStringLiteral(DEMO_DATA_DIR)).filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
