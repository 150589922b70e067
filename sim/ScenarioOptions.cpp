#include "ScenarioOptions.h"

namespace corvane::sim {

std::optional<std::uint16_t> parseWord(const QString& text) {
    bool ok = false;
    const uint v = text.toUInt(&ok, 0);
    if (!ok || v > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(v);
}

namespace {

// "RM:VERSION"; either part may be left empty to keep the default.
bool parsePair(const QString& text, std::uint16_t& first, std::uint16_t& second) {
    const QStringList parts = text.split(u':');
    if (parts.size() != 2) {
        return false;
    }
    if (!parts[0].isEmpty()) {
        const auto v = parseWord(parts[0]);
        if (!v) {
            return false;
        }
        first = *v;
    }
    if (!parts[1].isEmpty()) {
        const auto v = parseVersionText(parts[1]);
        if (!v) {
            return false;
        }
        second = *v;
    }
    return true;
}

bool fail(QString* error, const QString& message) {
    if (error) {
        *error = message;
    }
    return false;
}

} // namespace

std::optional<std::uint16_t> parseVersionText(const QString& text) {
    bool ok = false;
    if (text.contains(u'.')) {
        const double v = text.toDouble(&ok);
        if (!ok || v < 0 || v > 655.35) {
            return std::nullopt;
        }
        return static_cast<std::uint16_t>(v * 100.0 + 0.5);
    }
    const uint v = text.toUInt(&ok);
    if (!ok || v > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(v);
}

ScenarioOptions::ScenarioOptions(const QString& descriptionPrefix,
                                 const QString& buildDataDefault) {
    auto add = [&](const char* name, const QString& description, const char* value = nullptr) {
        if (value) {
            m_options << QCommandLineOption(QString::fromLatin1(name),
                                            descriptionPrefix + description,
                                            QString::fromLatin1(value));
        } else {
            m_options << QCommandLineOption(QString::fromLatin1(name),
                                            descriptionPrefix + description);
        }
    };
    add("slave", QStringLiteral("Modbus slave address (default 23)."), "N");
    add("cpu1", QStringLiteral("CPU-1 firmware RM:VERSION (default: first carried product, 2.15)."),
        "RM:VER");
    add("cpu2", QStringLiteral("CPU-2 firmware RM:VERSION (default: carried RM, 1.00)."), "RM:VER");
    add("hmi", QStringLiteral("HMI firmware RM:VERSION (default: carried RM, 1.05)."), "RM:VER");
    add("no-hmi", QStringLiteral("The product has no HMI."));
    add("with-hmi", QStringLiteral("The product has an HMI."));
    add("cpu2-silent", QStringLiteral("CPU-2 does not answer."));
    add("hmi-silent", QStringLiteral("The HMI does not answer."));
    add("cpu2-keeps-version",
        QStringLiteral("CPU-2 still reports its old RM number and version after programming."));
    add("hmi-keeps-version",
        QStringLiteral("The HMI still reports its old RM number and version after programming."));
    add("cpu2-boot", QStringLiteral("CPU-2 is already in boot mode."));
    add("hmi-boot", QStringLiteral("The HMI is already in boot mode."));
    add("bootloader", QStringLiteral("CPU-1 starts in its bootloader."));
    add("model", QStringLiteral("Model number CPU-1's bootloader reports (default: CPU-1's RM)."),
        "RM");
    add("bootloader-info", QStringLiteral("Bootloader RM:VERSION it reports (default 258:1.05)."),
        "RM:VER");
    add("boot-rm",
        QStringLiteral("RM a sub-processor in boot mode reports (default: BOOT_RM_NUMBER)."), "RM");
    add("build-data",
        QStringLiteral("Build-data folder (default: %1).")
            .arg(buildDataDefault.isEmpty() ? defaultBuildDataFolder() : buildDataDefault),
        "DIR");
    add("timing", QStringLiteral("Turn the timing model on."));
    add("timing-scale", QStringLiteral("Multiply every modelled time by X."), "X");
    add("busy-reads", QStringLiteral("Without timing: status reads that show busy (default 3)."),
        "N");
    add("seed", QStringLiteral("Seed of the fault injector (default 1)."), "N");
    add("fault",
        QStringLiteral(
            "Inject a fault, repeatable: KIND[:EXCHANGE][,after=N][,count=N][,p=X]"
            "[,param=N]. Kinds: noise drop corrupt delay exception stuck-busy "
            "cycling-busy no-news corrupt-status power-loss. Exchanges: modbus-read status-read "
            "modbus-write fn103 fn104-command fn104-data bl-model bl-info bl-erase "
            "bl-program bl-write-byte bl-reset other any."),
        "FAULT");
    add("power-dip",
        QStringLiteral(
            "The supply dips once at POINT[,restart=MS], repeatable: cpu2-data=K or hmi-data=K "
            "(after K data blocks to that processor), cpu2-erase[=K], cpu2-program[=K], "
            "hmi-erase[=K], hmi-program[=K] (at the status read of that stage that follows K "
            "of them, default 1), cpu1-erase=K or cpu1-program=K (after K bootloader steps). "
            "The unit is silent for MS ms (default 2000), then every processor starts from its "
            "flash."),
        "POINT");
}

QStringList ScenarioOptions::givenOptions(const QCommandLineParser& parser) const {
    QStringList given;
    for (const QCommandLineOption& o : m_options) {
        if (parser.isSet(o.names().constFirst())) {
            given << o.names().constFirst();
        }
    }
    return given;
}

bool ScenarioOptions::read(const QCommandLineParser& parser, Scenario& sc, FaultPlan& plan,
                           QString* error) const {
    auto isSet = [&](const char* name) { return parser.isSet(QString::fromLatin1(name)); };
    auto value = [&](const char* name) { return parser.value(QString::fromLatin1(name)); };

    if (isSet("slave")) {
        const auto v = parseWord(value("slave"));
        if (!v || *v < 1 || *v > 247) {
            return fail(error, QStringLiteral("--slave wants 1..247"));
        }
        sc.slaveAddress = static_cast<std::uint8_t>(*v);
    }
    if (isSet("cpu1") && !parsePair(value("cpu1"), sc.cpu1.rm, sc.cpu1.version)) {
        return fail(error, QStringLiteral("--cpu1 wants RM:VERSION"));
    }
    if (isSet("cpu2") && !parsePair(value("cpu2"), sc.cpu2.rm, sc.cpu2.version)) {
        return fail(error, QStringLiteral("--cpu2 wants RM:VERSION"));
    }
    if (isSet("hmi") && !parsePair(value("hmi"), sc.hmi.rm, sc.hmi.version)) {
        return fail(error, QStringLiteral("--hmi wants RM:VERSION"));
    }
    if (isSet("no-hmi")) {
        sc.hasHmi = false;
    }
    if (isSet("with-hmi")) {
        sc.hasHmi = true;
    }
    sc.cpu2.silent = sc.cpu2.silent || isSet("cpu2-silent");
    sc.hmi.silent = sc.hmi.silent || isSet("hmi-silent");
    sc.cpu2.keepsVersion = sc.cpu2.keepsVersion || isSet("cpu2-keeps-version");
    sc.hmi.keepsVersion = sc.hmi.keepsVersion || isSet("hmi-keeps-version");
    sc.cpu2.inBootMode = sc.cpu2.inBootMode || isSet("cpu2-boot");
    sc.hmi.inBootMode = sc.hmi.inBootMode || isSet("hmi-boot");
    sc.startInBootloader = sc.startInBootloader || isSet("bootloader");
    if (isSet("model")) {
        const auto v = parseWord(value("model"));
        if (!v) {
            return fail(error, QStringLiteral("--model wants a number"));
        }
        sc.modelRm = *v;
    }
    if (isSet("bootloader-info") &&
        !parsePair(value("bootloader-info"), sc.bootloaderRm, sc.bootloaderVersion)) {
        return fail(error, QStringLiteral("--bootloader-info wants RM:VERSION"));
    }
    if (isSet("boot-rm")) {
        const auto v = parseWord(value("boot-rm"));
        if (!v) {
            return fail(error, QStringLiteral("--boot-rm wants a number"));
        }
        sc.bootRmNumber = *v;
    }
    if (isSet("build-data")) {
        sc.buildData = value("build-data");
    }
    sc.timing.enabled = sc.timing.enabled || isSet("timing");
    if (isSet("timing-scale")) {
        bool ok = false;
        sc.timing.scale = value("timing-scale").toDouble(&ok);
        if (!ok || sc.timing.scale < 0) {
            return fail(error, QStringLiteral("--timing-scale wants a number >= 0"));
        }
    }
    if (isSet("busy-reads")) {
        bool ok = false;
        sc.untimedBusyReads = value("busy-reads").toInt(&ok);
        if (!ok || sc.untimedBusyReads < 0) {
            return fail(error, QStringLiteral("--busy-reads wants a number >= 0"));
        }
    }
    if (isSet("seed")) {
        bool ok = false;
        plan.seed = value("seed").toUInt(&ok);
        if (!ok) {
            return fail(error, QStringLiteral("--seed wants a number"));
        }
    }
    for (const QString& faultText : parser.values(QStringLiteral("fault"))) {
        QString why;
        const auto f = parseFault(faultText, &why);
        if (!f) {
            return fail(error, QStringLiteral("--fault %1: %2").arg(faultText, why));
        }
        plan.faults.push_back(*f);
    }
    for (const QString& dipText : parser.values(QStringLiteral("power-dip"))) {
        QString why;
        const auto dip = parsePowerDip(dipText, &why);
        if (!dip) {
            return fail(error, QStringLiteral("--power-dip %1: %2").arg(dipText, why));
        }
        plan.powerDips.push_back(*dip);
    }
    return true;
}

} // namespace corvane::sim
