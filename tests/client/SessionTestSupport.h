#pragma once
// What the client session's tests share: running a call from the event loop
// (at the next yield step that dispatches), and a session connected to a
// fake gateway the test can reach.

#include "ManualClock.h"

#include "client/ClientSession.h"
#include "files/ProgramFolder.h"
#include "tests/support/FakeGateway.h"
#include "tests/support/RecordingView.h"
#include "tests/support/TempFolder.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace telvoro {

inline void Post(const std::function<void()>& f) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), f, Qt::QueuedConnection);
}

struct Connected {
    TempFolder dir;
    RecordingView view;
    FakeGateway* gateway = nullptr;
    std::unique_ptr<client::ClientSession> session;
    explicit Connected(client::Clock* clock = nullptr, const std::string& credit = "100000") {
        client::SessionOptions options;
        options.clock = clock;
        options.gateway = [this, credit](const DataSource&, telvoro::client::LockWait) {
            auto g = std::make_unique<FakeGateway>();
            g->credit = credit;
            gateway = g.get();
            return g;
        };
        session = std::make_unique<client::ClientSession>(ProgramFolder(dir.path), view, options);
        session->Connect();
    }
    std::vector<bool> Ticks() {
        std::vector<bool> ticks;
        for (std::size_t i = 0; i < session->Recipients().Count(); ++i)
            ticks.push_back(session->Recipients().At(i).Checked);
        return ticks;
    }
};

} // namespace telvoro
