#pragma once
// The program's command line.

#include <QString>
#include <QStringList>

struct AppOptions {
    QStringList ports; // --port PATH, repeatable: probed first, in this order
    bool showHelp = false;
    bool showVersion = false;
    QString error;    // a command line that cannot be used, in words for the user
    QString helpText; // what --help prints
};

// arguments as QCoreApplication::arguments() gives them (program name first).
[[nodiscard]] AppOptions parseAppOptions(const QStringList& arguments);
