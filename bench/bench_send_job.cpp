// A 4000-number send job (40 batches) on the embedded SQLite database and, when
// TELVORO_PG_HOST/TELVORO_PG_PORT are set, on PostgreSQL.
#include "core/SendJob.h"
#include "server/ServerUpkeep.h"
#include "server/SqlGateway.h"
#include "tests/support/RecordingWindow.h"
#include "text/QtPath.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdlib>

using namespace telvoro;

namespace {

void RunJob(benchmark::State& state, const DataSource& source) {
    const std::string login = "19900000001";
    {
        SqlGateway admin(QStringLiteral("setup"));
        admin.Open(source, Create::Yes);
        ServerUpkeep(admin.connection()).CreateTables();
    }
    SqlGateway gw;
    gw.Open(source);
    RecordingWindow w;
    w.account = login;
    w.message = "benchmark message";
    for (int i = 0; i < 4000; ++i)
        w.phones.push_back("139" + std::to_string(10000000 + i));
    for (auto _ : state) {
        state.PauseTiming();
        ServerUpkeep(gw.connection()).SetCredit(login, 4000);
        state.ResumeTiming();
        SendJobRunner runner;
        if (runner.Btn_BeginClick(gw, w) != SendOutcome::Submitted)
            state.SkipWithError("job not submitted");
    }
    state.counters["batches"] =
        benchmark::Counter(40, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_SendJob4000_Sqlite(benchmark::State& state) {
    QTemporaryDir dir;
    RunJob(state, ParseDataSource("sqlite:bench.db", ProgramFolder(ToFsPath(dir.path()))));
}

void BM_SendJob4000_PostgreSql(benchmark::State& state) {
    const char* host = std::getenv("TELVORO_PG_HOST");
    const char* port = std::getenv("TELVORO_PG_PORT");
    if (!host || !port) {
        state.SkipWithError("TELVORO_PG_HOST/TELVORO_PG_PORT not set");
        for (auto _ : state) {
        }
        return;
    }
    RunJob(state,
           ParseDataSource(std::string("postgresql://") + host + ":" + port, ProgramFolder()));
}

} // namespace

BENCHMARK(BM_SendJob4000_Sqlite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SendJob4000_PostgreSql)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
