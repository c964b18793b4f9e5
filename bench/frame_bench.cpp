// What one pass of the game's loop costs when nobody presses a key (the
// demonstration playing): the frame and its refresh on a real curses screen,
// which this process holds on a pseudo-terminal whose other side a thread
// reads, counting and checksumming the bytes.
//
//   frame_bench --passes R C N   N passes on R x C after 100, for callgrind
//   frame_bench --traffic        bytes per changed cell, heap allocations
//   frame_bench --screens        checksums of every cell of many frames and of
//                                every byte the terminal received, to show
//                                that a cheaper frame looks and sends the same
#include "dunehopper.h"

#include <array>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

int gMaster = -1;
std::atomic<long> gReceived{0};
std::atomic<std::uint64_t> gStream{kFnvBasis};  // FNV-1a of the bytes received

std::uint64_t mix(std::uint64_t hash, std::uint64_t value, int bytes)
{
    for (int byte = 0; byte < bytes; ++byte) {
        hash = (hash ^ ((value >> (8 * byte)) & 0xFFU)) * kFnvPrime;
    }
    return hash;
}

// Waits until the terminal side has read and counted everything the game
// wrote: nothing left unread, and nothing counted for a while after that (on
// a busy machine the reading thread may not have run at all meanwhile).
long settledBytes()
{
    for (;;) {
        int unread = 0;
        ioctl(gMaster, FIONREAD, &unread);
        long const seen = gReceived.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (unread == 0 && seen == gReceived.load()) {
            return seen;
        }
    }
}

}  // namespace

struct DunehopperProbe {
    std::optional<Dunehopper> game;

    DunehopperProbe(int rows, int cols)
    {
        winsize size{static_cast<unsigned short>(rows), static_cast<unsigned short>(cols), 0, 0};
        ioctl(gMaster, TIOCSWINSZ, &size);
        game.emplace();
    }

    void pass(int code = ERR)  // ERR: the key read timed out
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

    // Glyph, attributes and colour of every cell the terminal shows now.
    void snapshot(std::vector<std::uint64_t>& cells) const
    {
        std::size_t at = 0;
        for (int row = 0; row < game->winSize.y; ++row) {
            for (int col = 0; col < game->winSize.x; ++col) {
                cchar_t cell{};
                std::array<wchar_t, CCHARW_MAX + 1> wide{};
                attr_t attrs = 0;
                short pair = 0;
                mvin_wch(row, col, &cell);
                getcchar(&cell, wide.data(), &attrs, &pair, nullptr);
                cells.at(at++) = mix(mix(mix(kFnvBasis, static_cast<std::uint64_t>(wide[0]), 4), attrs, 4),
                                     static_cast<std::uint64_t>(pair), 2);
            }
        }
    }
};

namespace {

struct Played {
    long firstBytes;       // the screen's opening and the first frame
    long bytes;            // from then on
    long changed;          // cells whose glyph, attributes or colour changed
    long allocations;      // in as many passes again
    std::uint64_t cells;   // FNV-1a of every cell of every frame
    std::uint64_t stream;  // and of the bytes of all frames but the first
};

// A game on a screen of its own: the first pass, `warmUp` more, then
// `passes` watched ones with a SPACE every `spaceEvery`th (none for 0).
Played play(int rows, int cols, long warmUp, long passes, long spaceEvery)
{
    long const opening = settledBytes();
    gStream = kFnvBasis;
    DunehopperProbe probe(rows, cols);
    probe.pass();
    Played played{settledBytes() - opening, 0, 0, 0, kFnvBasis, 0};
    gStream = kFnvBasis;  // the bytes of the frames, which a cheaper start-up leaves alone
    probe.measuredPasses(warmUp);
    std::vector<std::uint64_t> shown(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
    std::vector<std::uint64_t> next(shown.size());
    probe.snapshot(shown);
    long const start = settledBytes();
    for (long i = 1; i <= passes; ++i) {
        probe.pass(spaceEvery > 0 && i % spaceEvery == 0 ? ' ' : ERR);
        probe.snapshot(next);
        for (std::size_t c = 0; c < next.size(); ++c) {
            played.changed += next[c] == shown[c] ? 0 : 1;
            played.cells = mix(played.cells, next[c], 8);
        }
        shown.swap(next);
    }
    played.bytes = settledBytes() - start;
    played.stream = gStream.load();
    long const allocations = heap::allocations.load();
    probe.measuredPasses(passes);  // ncurses allocates once the first time it sends a capability: not among these
    played.allocations = heap::allocations.load() - allocations;
    return played;
}

}  // namespace

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "C.UTF-8");
    setenv("TERM", "xterm-256color", 1);
    unsetenv("LINES");
    unsetenv("COLUMNS");
    gMaster = ownTerminal();
    if (gMaster < 0) {
        return 1;
    }
    std::thread([] {
        std::array<char, 65536> sink{};
        ssize_t got = 0;
        while ((got = read(gMaster, sink.data(), sink.size())) > 0) {
            std::uint64_t hash = gStream.load();
            for (ssize_t i = 0; i < got; ++i) {
                hash = mix(hash, static_cast<unsigned char>(sink.at(static_cast<std::size_t>(i))), 1);
            }
            gStream = hash;
            gReceived.fetch_add(got);
        }
    }).detach();
    std::string_view const mode = argc > 1 ? argv[1] : "";
    if (mode == "--passes" && argc == 5) {
        DunehopperProbe probe(std::atoi(argv[2]), std::atoi(argv[3]));
        for (int i = 0; i < 100; ++i) {
            probe.pass();
        }
        probe.measuredPasses(std::atol(argv[4]));  // what callgrind counts (--toggle-collect)
        return 0;
    }
    if (mode == "--traffic") {  // the demonstration in steady play
        std::printf("size     bytes/pass changed/pass bytes/cell first-pass allocs/pass\n");
        for (auto [rows, cols] : {std::pair{24, 80}, {60, 200}, {150, 500}}) {
            constexpr long kPasses = 1000;
            Played const p = play(rows, cols, 100, kPasses, 0);
            std::printf("%dx%d %.1f %.1f %.2f %ld %.3f\n", rows, cols, double(p.bytes) / kPasses,
                        double(p.changed) / kPasses, p.changed > 0 ? double(p.bytes) / double(p.changed) : 0.0,
                        p.firstBytes, double(p.allocations) / kPasses);
        }
        return 0;
    }
    if (mode == "--screens") {  // runs, jumps and lost runs as well as the demonstration
        for (auto [rows, cols] : {std::pair{24, 80}, {60, 200}, {150, 500}, {17, 31}, {5, 12}, {1, 1}}) {
            Played const p = play(rows, cols, 0, 2000, 37);
            std::printf("%dx%d 2000 frames  cells %016llx  bytes after the first %016llx\n", rows, cols,
                        static_cast<unsigned long long>(p.cells), static_cast<unsigned long long>(p.stream));
        }
        return 0;
    }
    std::fprintf(stderr, "usage: %s --passes ROWS COLS N | --traffic | --screens\n", argv[0]);
    return 2;
}
