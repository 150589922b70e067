#pragma once
// The start-up check of the carried firmware, before the first window or exchange.

#include <QString>

// 0 when the program carries what it was built with. Otherwise the reason goes to standard
// error as one line, the window (unless `windowless`) shows it in its start-up warning box,
// and kDamagedProgramExitCode is returned: the program must not go on.
int checkCarriedFirmwareAtStart(bool windowless, int& argc, char** argv);

// The window's start-up warning box with `message`; returns when it is closed.
void showDamagedProgramBox(const QString& message);
