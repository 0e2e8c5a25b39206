// Speed and memory of the recipient list on the sizes real operators reach
// and well beyond: hand-off merges, list files and select-all on a million.
// Targets: merge 100,000 lines into 100,000 entries < 0.3 s; load and save of
// 1,000,000 entries < 1 s each; SetAllChecked on 1,000,000 < 50 ms; peak
// memory of a 1,000,000-entry list < 200 MB (printed before the benchmarks).

#include "core/FileIO.h"
#include "core/GbkTexts.h"
#include "core/RecipientList.h"
#include "files/HandoffReader.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <malloc.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace telvoro;
namespace fs = std::filesystem;

namespace {

const std::string kName = "\xD5\xC5\xC8\xFD\xB7\xE1"; // 张三丰, 6 bytes as most names

std::string Phone(std::size_t i) {
    std::string p = std::to_string(13000000000ull + i * 7919 % 1000000000ull);
    return p;
}

// n lines of name TAB phone TAB status, 25 bytes each (a list file), or
// without the status (a hand-off file); phones from `first` on.
std::string Lines(std::size_t first, std::size_t n, bool withStatus) {
    std::string bytes;
    bytes.reserve(n * 27);
    for (std::size_t i = first; i < first + n; ++i) {
        bytes.append(kName).append(1, '\t').append(Phone(i));
        if (withStatus) bytes.append(1, '\t').append(gbk::kStatusWaiting);
        bytes.append("\r\n");
    }
    return bytes;
}

const fs::path& Folder() {
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / ("telvoro-bench-" + std::to_string(::getpid()));
        fs::create_directories(d);
        return d;
    }();
    return dir;
}

void FillList(RecipientList& list, std::size_t n) {
    const fs::path file = Folder() / "fill.dat";
    WriteWholeFile(file, Lines(0, n, true));
    list.LoadList(file);
}

// 100,000 hand-off lines, half of them phones already in the list.
void BM_MergeHandoff100kInto100k(benchmark::State& state) {
    const std::string handoff = Lines(50'000, 100'000, false);
    for (auto _ : state) {
        state.PauseTiming();
        RecipientList list;
        FillList(list, 100'000);
        HandoffReader reader(list, ProgramFolder(Folder()));
        WriteWholeFile(reader.HandoffPath(), handoff);
        state.ResumeTiming();
        if (reader.Tick() != HandoffReader::TickResult::Merged) state.SkipWithError("not merged");
        benchmark::DoNotOptimize(list.Count());
    }
}
BENCHMARK(BM_MergeHandoff100kInto100k)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LoadList1M(benchmark::State& state) {
    const fs::path file = Folder() / "load.dat";
    WriteWholeFile(file, Lines(0, 1'000'000, true));
    RecipientList list;
    for (auto _ : state) {
        list.LoadList(file);
        benchmark::DoNotOptimize(list.Count());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fs::file_size(file)));
}
BENCHMARK(BM_LoadList1M)->Unit(benchmark::kMillisecond)->UseRealTime();

// Includes flushing the file to disk before the rename.
void BM_SaveList1M(benchmark::State& state) {
    RecipientList list;
    FillList(list, 1'000'000);
    const fs::path file = Folder() / "save.dat";
    for (auto _ : state)
        list.SaveList(file);
}
BENCHMARK(BM_SaveList1M)->Unit(benchmark::kMillisecond)->UseRealTime();

// With an empty yield step and with one that does nothing, as the window's
// time-sliced step does between its slices.
void BM_SetAllChecked1M(benchmark::State& state) {
    RecipientList list;
    FillList(list, 1'000'000);
    bool box = false;
    const YieldStep step = state.range(0) ? YieldStep([] {}) : YieldStep();
    for (auto _ : state) {
        box = !box;
        list.SetAllChecked([&] { return box; }, step);
    }
}
BENCHMARK(BM_SetAllChecked1M)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

long MaxRssKb() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Peak memory, each case in a fresh child process so the figures do not mix.
void PrintPeakMemory() {
    const fs::path file = Folder() / "peak.dat";
    WriteWholeFile(file, Lines(0, 1'000'000, true));
    struct Case {
        const char* what;
        void (*run)(const fs::path&);
    } cases[] = {
        {"1,000,000 entries merged one by one (AddIfNewPhone)",
         [](const fs::path&) {
             static RecipientList list;
             for (std::size_t i = 0; i < 1'000'000; ++i)
                 list.AddIfNewPhone(kName, Phone(i));
         }},
        {"1,000,000-entry list file loaded (LoadList, incl. file and lines)",
         [](const fs::path& f) {
             static RecipientList list;
             list.LoadList(f);
         }},
    };
    for (const Case& c : cases) {
        std::fflush(stdout);
        const pid_t pid = ::fork();
        if (pid == 0) {
            const long before = MaxRssKb();
            c.run(file);
            const struct mallinfo2 mi = ::mallinfo2();
            std::printf("peak memory, %s: %.1f MB above start (%.1f MB process peak), "
                        "%.1f MB allocated after\n",
                        c.what, (MaxRssKb() - before) / 1024.0, MaxRssKb() / 1024.0,
                        (mi.uordblks + mi.hblkhd) / 1048576.0);
            std::fflush(stdout);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
}

} // namespace

int main(int argc, char** argv) {
    PrintPeakMemory();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    fs::remove_all(Folder(), ec);
    return 0;
}
