#pragma once
// The updater window shown offscreen, by default with no ports to scan; shared by the window
// suites.

#include "main.h"

#include <QApplication>
#include <QTest>

#include <memory>
#include <vector>

inline EngineDeps noPorts() {
    EngineDeps deps;
    deps.listPorts = [] { return std::vector<corvane::PortEntry>{}; };
    return deps;
}

inline std::unique_ptr<TForm3> shownWindow(EngineDeps deps = noPorts()) {
    auto form = createUpdaterForms(std::move(deps));
    form->show();
    QApplication::setActiveWindow(form.get());
    if (!QTest::qWaitForWindowExposed(form.get())) {
        qWarning("window not exposed");
    }
    return form;
}
