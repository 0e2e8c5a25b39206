#pragma once
// A throw-away PostgreSQL server of a test process's own, for tests that
// restart it or must not share the suite's server (scripts/pg).

#include "tests/support/KannelRig.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace telvoro::test {

// A throw-away PostgreSQL server for this test process, started on first use.
class PgServer {
public:
    static PgServer* Get() {
        static std::unique_ptr<PgServer> server = [] {
            auto s = std::make_unique<PgServer>();
            if (!s->Start()) s.reset();
            return s;
        }();
        return server.get();
    }
    PgServer() : port_(telvoro::test::FreePort()) {}
    ~PgServer() { Shell("./scripts/pg stop " + dir_ + " >/dev/null 2>&1"); }
    std::string Text() const { return "postgresql://127.0.0.1:" + std::to_string(port_); }
    std::string Odbc() const {
        return "odbc:DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=" + std::to_string(port_) +
               ";DATABASE=Orvanta;UID=gsm;PWD={qelvix:-!}";
    }
    // Stops the server and starts it again after `down` seconds; whether it came back.
    bool Restart(double down) {
        Shell(PgCtl("stop -m fast -w") + " >/dev/null 2>&1");
        std::this_thread::sleep_for(std::chrono::duration<double>(down));
        return Shell(PgCtl("start -w -t 60 -o \"-h 127.0.0.1 -p " + std::to_string(port_) + " -k " +
                           dir_ + " -c fsync=off -c max_connections=50\"") +
                     " >/dev/null 2>&1") == 0;
    }

private:
    static int Shell(const std::string& command) {
        return std::system(("cd " TELVORO_SOURCE_DIR " && " + command).c_str());
    }
    std::string PgCtl(const std::string& args) const {
        const std::string bin = "$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)";
        const std::string run = "$( [ \"$(id -u)\" -eq 0 ] && echo runuser -u postgres -- )";
        return run + " " + bin + "/pg_ctl -D " + dir_ + "/data -l " + dir_ + "/log " + args;
    }
    bool Start() {
        dir_ = "/tmp/telvoro-smsd-pg-" + std::to_string(getpid());
        if (Shell("./scripts/pg start " + dir_ + " " + std::to_string(port_) + " >/dev/null") != 0)
            return false;
        return true;
    }
    int port_;
    std::string dir_;
};

} // namespace telvoro::test
