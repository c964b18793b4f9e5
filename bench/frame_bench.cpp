// What one pass of the game's loop costs when nobody presses a key (the
// demonstration playing): the frame and its refresh on a real curses screen.
// The game draws on a pseudo-terminal that this process holds as its
// controlling terminal; a thread reads the other side and counts the bytes.
//
//   frame_bench [benchmark options]   time per pass (Google Benchmark)
//   frame_bench --traffic             bytes per changed cell, heap allocations
//   frame_bench --passes R C N        N passes on R x C, for callgrind
//   frame_bench --screens             checksums of every cell of many frames
//                                     and of every byte the terminal received,
//                                     to show that a faster frame looks and
//                                     sends the same
#include "dunehopper.h"

#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/ioctl.h>
#include <unistd.h>

#include "tests/heap_counter.h"
#include "tests/own_terminal.h"

namespace {

constexpr std::uint64_t kFnvBasis = 14695981039346656037ULL;
constexpr std::uint64_t kFnvPrime = 1099511628211ULL;

struct Terminal {
    int master = -1;
    std::atomic<long> received{0};
    std::atomic<std::uint64_t> stream{kFnvBasis};  // FNV-1a of the bytes received
};

Terminal& terminal()
{
    static Terminal instance;
    return instance;
}

// Waits until the terminal side has read everything the game wrote.
long settledBytes()
{
    long seen = -1;
    while (seen != terminal().received.load()) {
        seen = terminal().received.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return seen;
}

constexpr std::array<std::pair<int, int>, 3> kSizes{{{24, 80}, {60, 200}, {150, 500}}};

}  // namespace

struct DunehopperProbe {
    std::optional<Dunehopper> game;

    DunehopperProbe(int rows, int cols)
    {
        winsize size{static_cast<unsigned short>(rows), static_cast<unsigned short>(cols), 0, 0};
        ioctl(terminal().master, TIOCSWINSZ, &size);
        game.emplace();
    }

    // One pass of the main loop after reading `code` (ERR: the read timed out).
    void pass(int code = ERR)
    {
        game->advanceTimer();
        game->handleKey(code);
    }

    // Kept out of line so that callgrind can count exactly these passes.
    [[gnu::noinline]] void measuredPasses(long count)
    {
        for (long i = 0; i < count; ++i) {
            pass();
        }
    }

    struct Cell {
        wchar_t glyph;
        attr_t attrs;
        short pair;
        bool operator==(Cell const&) const = default;
    };

    // What the terminal shows now (the screen as of the last refresh).
    void snapshot(std::vector<Cell>& cells) const
    {
        int y = 0;
        int x = 0;
        getyx(stdscr, y, x);
        std::size_t at = 0;
        for (int row = 0; row < game->winSize.y; ++row) {
            for (int col = 0; col < game->winSize.x; ++col) {
                cchar_t cell{};
                std::array<wchar_t, CCHARW_MAX + 1> wide{};
                Cell& out = cells.at(at++);
                mvin_wch(row, col, &cell);
                getcchar(&cell, wide.data(), &out.attrs, &out.pair, nullptr);
                out.glyph = wide[0];
            }
        }
        wmove(stdscr, y, x);
    }
};

namespace {

void BM_Pass(benchmark::State& state)
{
    DunehopperProbe probe(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    probe.measuredPasses(100);  // past the first frames, into steady play
    for (auto _ : state) {
        probe.pass();
    }
}
BENCHMARK(BM_Pass)
    ->ArgNames({"rows", "cols"})
    ->Args({kSizes[0].first, kSizes[0].second})
    ->Args({kSizes[1].first, kSizes[1].second})
    ->Args({kSizes[2].first, kSizes[2].second})
    ->Unit(benchmark::kMicrosecond);

// Steady play: bytes the terminal received, cells whose glyph, attributes or
// colour really changed, and heap allocations, over the same passes.
void reportTraffic()
{
    constexpr long kWarmUp = 100;
    constexpr long kPasses = 1000;
    std::printf("%-8s %7s %12s %14s %12s %12s %14s\n", "size", "passes", "bytes/pass", "changed/pass", "bytes/cell",
                "first pass", "allocs/pass");
    for (auto [rows, cols] : kSizes) {
        long const before = settledBytes();
        DunehopperProbe probe(rows, cols);
        probe.pass();
        long const firstBytes = settledBytes() - before;
        probe.measuredPasses(kWarmUp - 1);

        std::vector<DunehopperProbe::Cell> shown(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
        std::vector<DunehopperProbe::Cell> next(shown.size());
        probe.snapshot(shown);
        long const start = settledBytes();
        long changed = 0;
        for (long i = 0; i < kPasses; ++i) {
            probe.pass();
            probe.snapshot(next);
            for (std::size_t c = 0; c < next.size(); ++c) {
                changed += next[c] == shown[c] ? 0 : 1;
            }
            shown.swap(next);
        }
        long const bytes = settledBytes() - start;

        long const allocationsBefore = heap::allocations.load();
        probe.measuredPasses(kPasses);
        long const allocations = heap::allocations.load() - allocationsBefore;

        std::printf("%3dx%-4d %7ld %12.1f %14.1f %12.2f %12ld %14.3f\n", rows, cols, kPasses,
                    static_cast<double>(bytes) / kPasses, static_cast<double>(changed) / kPasses,
                    changed > 0 ? static_cast<double>(bytes) / static_cast<double>(changed) : 0.0, firstBytes,
                    static_cast<double>(allocations) / kPasses);
    }
}

// FNV-1a over glyph, attributes and colour of every cell of 2000 frames per
// size, with a SPACE every 37th pass so that runs, jumps and lost runs show.
void reportScreens()
{
    constexpr long kPasses = 2000;
    constexpr long kSpaceEvery = 37;
    for (auto [rows, cols] : {std::pair{24, 80}, std::pair{60, 200}, std::pair{150, 500}, std::pair{17, 31},
                              std::pair{5, 12}, std::pair{1, 1}}) {
        settledBytes();
        terminal().stream = kFnvBasis;  // from the screen's opening on
        DunehopperProbe probe(rows, cols);
        std::vector<DunehopperProbe::Cell> cells(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
        std::uint64_t hash = kFnvBasis;
        auto const mix = [&hash](std::uint64_t value) {
            for (int byte = 0; byte < 8; ++byte) {
                hash = (hash ^ ((value >> (8 * byte)) & 0xFFU)) * kFnvPrime;
            }
        };
        for (long i = 1; i <= kPasses; ++i) {
            probe.pass(i % kSpaceEvery == 0 ? ' ' : ERR);
            probe.snapshot(cells);
            for (auto const& cell : cells) {
                mix(static_cast<std::uint64_t>(cell.glyph));
                mix(static_cast<std::uint64_t>(cell.attrs));
                mix(static_cast<std::uint64_t>(cell.pair));
            }
        }
        settledBytes();
        std::printf("%3dx%-4d %5ld frames  cells %016llx  bytes %016llx\n", rows, cols, kPasses,
                    static_cast<unsigned long long>(hash), static_cast<unsigned long long>(terminal().stream.load()));
    }
}

// Under callgrind with --toggle-collect on measuredPasses, only the `count`
// passes after the warm-up are counted.
int runPasses(int rows, int cols, long count)
{
    DunehopperProbe probe(rows, cols);
    for (int i = 0; i < 100; ++i) {
        probe.pass();
    }
    probe.measuredPasses(count);
    return 0;
}

// The game on a pty of its own; a thread reads the other side and counts
// and checksums what the terminal receives.
bool openTerminal()
{
    int const master = ownTerminal();
    if (master < 0) {
        return false;
    }
    terminal().master = master;
    std::thread([] {
        std::array<char, 65536> sink{};
        ssize_t got = 0;
        while ((got = read(terminal().master, sink.data(), sink.size())) > 0) {
            std::uint64_t hash = terminal().stream.load();
            for (ssize_t i = 0; i < got; ++i) {
                hash = (hash ^ static_cast<unsigned char>(sink.at(static_cast<std::size_t>(i)))) * kFnvPrime;
            }
            terminal().stream = hash;
            terminal().received.fetch_add(got);
        }
    }).detach();
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "C.UTF-8");
    setenv("TERM", "xterm-256color", 1);
    unsetenv("LINES");
    unsetenv("COLUMNS");
    if (!openTerminal()) {
        return 1;
    }
    std::string_view const mode = argc > 1 ? argv[1] : "";
    if (mode == "--traffic") {
        reportTraffic();
        return 0;
    }
    if (mode == "--screens") {
        reportScreens();
        return 0;
    }
    if (mode == "--passes" && argc == 5) {
        return runPasses(std::atoi(argv[2]), std::atoi(argv[3]), std::atol(argv[4]));
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
