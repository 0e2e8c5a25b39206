// A call that waits for another program's lock on an embedded database: the
// same limit as SQLite's own busy time-out, waited out in short steps so the
// caller can say so and repaint meanwhile.

#include "db/Connection.h"

#include <sqlite3.h>

#include <algorithm>
#include <thread>

namespace telvoro {

using std::chrono::milliseconds;

int Connection::BusyWait(void* self, int count) {
    auto& c = *static_cast<Connection*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0) c.busySince_ = now;
    const auto waited = std::chrono::duration_cast<milliseconds>(now - c.busySince_);
    if (waited >= c.busyLimit_) return 0; // SQLITE_BUSY: "database is locked"
    if (waited >= milliseconds(500)) {
        c.lockWaitShown_ = true;
        try { // nothing may unwind through SQLite
            c.lockWait_(true);
        } catch (...) {
        }
    }
    std::this_thread::sleep_for(std::min(milliseconds(20), c.busyLimit_ - waited));
    return 1;
}

void Connection::EndLockWait() {
    if (!lockWaitShown_) return;
    lockWaitShown_ = false;
    try {
        lockWait_(false);
    } catch (...) {
    }
}

} // namespace telvoro
