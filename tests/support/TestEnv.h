#pragma once
// What every suite that runs real parts needs: waiting for a condition while events flow, and
// which serial link the run asks for.

#include <QElapsedTimer>
#include <QTest>

#include <functional>

// Processes events until pred() holds or ms have passed; returns pred().
inline bool waitUntil(const std::function<bool()>& pred, int ms) {
    QElapsedTimer t;
    t.start();
    while (!pred() && t.elapsed() < ms) {
        QTest::qWait(2);
    }
    return pred();
}

// True when the environment asks for the fast link (CORVANE_E2E_LINK=fast): CTest runs the
// end-to-end suites once on each link.
inline bool fastLinkRequested() {
    return qEnvironmentVariable("CORVANE_E2E_LINK") == QLatin1String("fast");
}
