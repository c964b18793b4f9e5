// Frame and loop rules, checked on a real curses screen: the game draws on a
// pseudo-terminal that this process holds as its controlling terminal, and
// the cells are read back from curses.
#include "dunehopper.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstdlib>
#include <cwchar>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/heap_counter.h"

namespace {
int gMaster = -1;  // master side of the pty the game plays on
}

struct DunehopperProbe {
    std::optional<Dunehopper> game;
    explicit DunehopperProbe(int rows, int cols)
    {
        winsize size{static_cast<unsigned short>(rows), static_cast<unsigned short>(cols), 0, 0};
        ioctl(gMaster, TIOCSWINSZ, &size);
        game.emplace();
    }
    bool pass(int code) { return game->advanceTimer(), game->handleKey(code); }
    void passes(int count, int code = ERR)
    {
        for (int i = 0; i < count; ++i)
            pass(code);
    }
    Point& size() { return game->winSize; }
    Score& score() { return game->score; }
    std::int32_t& bush() { return game->bushPos; }
    char& state() { return game->gameState; }
    bool& airborne() { return game->isJump; }
    std::int8_t& debounce() { return game->debounceTimer; }
    std::int8_t& timer() { return game->timer; }
    void play() { game->startGame(); }
    void frame() { game->draw(); }
    int rows() const { return game->winSize.y; }
    int cols() const { return game->winSize.x; }

    // `count` cells of row `y` from column `x`, as UTF-8.
    static std::string cells(int y, int x, int count)
    {
        std::string text;
        for (int i = 0; i < count; ++i) {
            cchar_t cell{};
            wchar_t wide[CCHARW_MAX + 1] = {};
            attr_t attrs = 0;
            short pair = 0;
            mvin_wch(y, x + i, &cell);
            getcchar(&cell, wide, &attrs, &pair, nullptr);
            char bytes[MB_LEN_MAX];
            std::mbstate_t state{};
            std::size_t const n = std::wcrtomb(bytes, wide[0], &state);
            text.append(bytes, n == static_cast<std::size_t>(-1) ? 0 : n);
        }
        return text;
    }
    static short pairAt(int y, int x)
    {
        cchar_t cell{};
        wchar_t wide[CCHARW_MAX + 1] = {};
        attr_t attrs = 0;
        short pair = 0;
        mvin_wch(y, x, &cell);
        getcchar(&cell, wide, &attrs, &pair, nullptr);
        return pair;
    }
};

namespace {
using Probe = DunehopperProbe;
std::string repeat(std::string_view unit, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i)
        text += unit;
    return text;
}
int respawnColumn(int cols, int seed)
{
    return std::srand(seed), cols + std::rand() % cols;
}
}  // namespace

TEST(Frame, OpensAtTheTerminalSizeAndRespawnsTheBushOnTheFirstFrame)
{
    for (auto [rows, cols] : std::vector<std::pair<int, int>>{{24, 80}, {10, 20}, {2, 3}, {1, 1}, {60, 200}}) {
        Probe p(rows, cols);
        EXPECT_EQ(p.size().x, cols);
        EXPECT_EQ(p.size().y, rows);
        EXPECT_EQ(p.state(), GAME_AI);
        EXPECT_EQ(p.bush(), -10);
        p.pass(ERR);  // timer 1; bush -10 -> -13 -> respawn
        EXPECT_EQ(p.bush(), respawnColumn(cols, 1)) << rows << "x" << cols;
        p.passes(200, ' ');  // tiny screens: prints above or left of the screen just draw nothing
    }
}

TEST(Frame, BushMovesThreeColumnsAndIsDrawnOnlyLeftOfColsMinusFour)
{
    Probe p(24, 80);
    p.bush() = 50;
    p.frame();
    EXPECT_EQ(p.bush(), 47);
    EXPECT_EQ(Probe::cells(19, 47, 5), "▄█ █▄");
    EXPECT_EQ(Probe::cells(20, 47, 5), "██ ██");
    EXPECT_EQ(Probe::cells(21, 47, 5), " ███ ");
    EXPECT_EQ(Probe::cells(22, 47, 5), " ███ ");
    EXPECT_EQ(Probe::pairAt(19, 48), 2);
    p.bush() = 79;  // moves to 76 = cols - 4: off
    p.frame();
    EXPECT_EQ(Probe::cells(19, 72, 8), repeat(" ", 8));
    p.bush() = 2;  // moves to -1: only the trunks start on the screen
    p.frame();
    EXPECT_EQ(Probe::cells(19, 0, 4), "    ");
    EXPECT_EQ(Probe::cells(22, 0, 3), "███");
}

TEST(Frame, GroundCollisionWindowIsEightToTwentySix)
{
    struct Case {
        std::int32_t before;
        bool airborne;
        char after;
    };
    for (Case c : {Case{10, false, GAME_STARTED}, Case{11, false, GAME_OVER}, Case{29, false, GAME_OVER},
                   Case{30, false, GAME_STARTED}, Case{20, true, GAME_STARTED}}) {
        Probe p(24, 30);  // on 30 columns the bush at 26 is invisible and still hits
        p.play();
        p.bush() = c.before;
        p.airborne() = c.airborne;
        p.frame();
        EXPECT_EQ(p.state(), c.after) << "bush from " << c.before;
        EXPECT_EQ(p.score().time, c.after == GAME_STARTED ? 1 : 0);
    }
}

TEST(Frame, DemonstrationJumpsOnElevenToTwentySevenAfterTheCollisionTest)
{
    struct Case {
        std::int32_t before;
        char after;
    };  // after 12 frames
    for (Case c :
         {Case{30, GAME_AI}, Case{33, GAME_AI}, Case{31, GAME_OVER}, Case{32, GAME_OVER}, Case{14, GAME_OVER}}) {
        Probe p(24, 80);
        p.bush() = c.before;
        for (int i = 0; i < 12; ++i)
            p.frame();
        EXPECT_EQ(p.state(), c.after) << "bush from " << c.before;
        if (c.after == GAME_OVER) {
            EXPECT_EQ(Probe::cells(11, 36, 9), "GAME OVER");
            EXPECT_EQ(Probe::cells(12, 30, 20), "Press SPACE to start");
        }
    }
}

TEST(Frame, JumpLastsNineFramesAndTheLastShowsTheStandingPoseRaised)
{
    Probe p(24, 80);
    p.play();
    p.bush() = 2000;
    p.pass(' ');  // honoured: jump, then this pass's frame
    for (int frame = 1; frame <= 9; ++frame) {
        EXPECT_EQ(p.airborne(), frame < 9) << "frame " << frame;
        EXPECT_EQ(Probe::cells(23, 0, 80), repeat("█", 80)) << "ground under a jump, frame " << frame;
        EXPECT_EQ(Probe::cells(14, 5, 25), "██████████████▀█████▀██▙▁");
        EXPECT_EQ(Probe::pairAt(14, 5), 3);
        std::string const legs = frame < 9 ? "      █████   █████   " : "   ██████████████████ ";
        EXPECT_EQ(Probe::cells(18, 5, 22), legs) << "frame " << frame;
        if (frame < 9)
            p.pass(ERR);
    }
    p.pass(ERR);  // back on the ground: legs on the bottom row, ground only around them
    std::string const legs = p.timer() > 0 ? "      █████   █████   " : "    █████   █████     ";
    EXPECT_EQ(Probe::cells(23, 0, 31), "████ " + legs + "  ██");
}

TEST(Frame, ScoreGreetingAndColours)
{
    Probe p(24, 80);
    p.play();
    p.bush() = 2000;
    p.score() = {41, 3};
    p.frame();  // shows the count before this frame adds itself
    EXPECT_EQ(Probe::cells(5, 1, 22), "Score: 0003 x 00000041");
    EXPECT_EQ(Probe::cells(2, 1, 18), "WelCome to Tavrel!");
    EXPECT_EQ(Probe::pairAt(5, 1), 5);
    EXPECT_EQ(Probe::pairAt(12, 30), 0);
    p.state() = GAME_OVER;  // a lost run keeps its score on screen
    p.frame();
    EXPECT_EQ(Probe::cells(5, 1, 22), "Score: 0003 x 00000042");
    EXPECT_EQ(Probe::cells(11, 36, 9), "GAME OVER");
    EXPECT_EQ(Probe::pairAt(11, 36), 0);
}

TEST(Frame, NoScreenWidthDrawsNothing)
{
    Probe p(24, 80);
    p.size().x = 0;
    p.frame();
    EXPECT_EQ(p.bush(), -10);  // no width to respawn into
}

// Every cell of one frame, drawn over a screen full of coloured junk that it
// must wipe: the score over the dino's first row, the dino over the bush, the
// legs in the gap of the ground.
TEST(Frame, WholeScreenOfAStandingFrame)
{
    std::vector<std::string> const expected = {
        repeat(" ", 32),
        repeat(" ", 32),
        " WelCome to Tavrel!" + repeat(" ", 13),
        repeat(" ", 32),
        repeat(" ", 32),
        " Score: 0000 x 00000000" + repeat(" ", 9),
        "        █████                   ",
        "       ██   ██                  ",
        "      █▛          ▄      ▄      ",
        "     ▟█▙        ▄███▄▄▄▄███▄    ",
        "     ██████████████▀█████▀██▙▁  ",
        "      ████████████████▀█████▀▔█▄",
        "       ██████████████▄█▄███▛  ██",
        "        ██████████████████  ███ ",
        "        ██████████████████  ███ ",
        "████     █████   █████       ███",
    };
    Probe p(16, 32);
    wattr_on(stdscr, A_REVERSE | COLOR_PAIR(1), nullptr);
    for (int row = 0; row < 16; ++row) {
        mvwhline(stdscr, row, 0, 'x', 32);
    }
    wattr_off(stdscr, A_REVERSE | COLOR_PAIR(1), nullptr);
    p.play();
    p.bush() = 30;  // moves to 27: drawn, clear of the collision window
    p.frame();
    for (int row = 0; row < 16; ++row) {
        EXPECT_EQ(Probe::cells(row, 0, 32), expected.at(static_cast<std::size_t>(row))) << "row " << row;
    }
    EXPECT_EQ(Probe::pairAt(14, 31), 0) << "a blank keeps no colour";
    EXPECT_EQ(Probe::pairAt(15, 31), 2) << "the ground is green";
}

// The loop runs for hours, so steady play must not touch the heap at all.
// The first passes may: the first frame makes the blank row, and curses
// fills its own caches the first time it scrolls or sends a colour.
TEST(Frame, NoHeapAllocationInSteadyPlay)
{
    for (auto [rows, cols] : std::vector<std::pair<int, int>>{{24, 80}, {60, 200}, {5, 12}}) {
        Probe p(rows, cols);
        auto const play = [&p] {
            for (int i = 1; i <= 300; ++i) {
                p.pass(i % 37 == 0 ? ' ' : ERR);  // runs, jumps and lost runs as well as the demonstration
            }
        };
        play();
        long const before = heap::allocations.load();
        play();
        EXPECT_EQ(heap::allocations.load() - before, 0) << rows << "x" << cols;
    }
}

// One scripted run through the loop: what each key does to the state, the
// jump, the debounce and the score.
TEST(Loop, DebounceJumpsPassedAndQuit)
{
    struct Step {
        int code;
        std::int32_t bushBefore;
        char state;
        bool airborne;
        int debounce;
        int passed;
        bool goesOn;
    };
    constexpr int kEsc = 27;
    std::vector<Step> const steps = {
        {' ', 2000, GAME_STARTED, false, 4, 0, true},  // first key meets no wait: the run starts
        {ERR, 2000, GAME_STARTED, false, 3, 0, true},
        {' ', 2000, GAME_STARTED, false, 4, 0, true},  // too soon: ignored, and the wait restarts
        {ERR, 2000, GAME_STARTED, false, 3, 0, true},
        {ERR, 2000, GAME_STARTED, false, 2, 0, true},
        {kEsc, 2000, GAME_STARTED, false, 4, 0, true},  // any other key restarts the wait too
        {ERR, 2000, GAME_STARTED, false, 3, 0, true},
        {ERR, 2000, GAME_STARTED, false, 2, 0, true},
        {ERR, 2000, GAME_STARTED, false, 1, 0, true},
        {0x1FF, 2000, GAME_STARTED, false, 0, 0, true},  // low byte 0xFF counts as no key
        {0x120, 20, GAME_STARTED, true, 4, 1, true},     // low byte 0x20 is SPACE; bush near: passed
        {ERR, 2000, GAME_STARTED, true, 3, 1, true},
        {ERR, 2000, GAME_STARTED, true, 2, 1, true},
        {ERR, 2000, GAME_STARTED, true, 1, 1, true},
        {ERR, 2000, GAME_STARTED, true, 0, 1, true},
        {' ', 30, GAME_STARTED, true, 4, 2, true},  // judged before the move: 30 still counts
        {ERR, 2000, GAME_STARTED, true, 3, 2, true},
        {0x15D, 2000, GAME_STARTED, true, 3, 2, false},  // low byte 0x5D is `]`: no frame drawn
    };
    Probe p(24, 80);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        Step const& s = steps[i];
        p.bush() = s.bushBefore;
        bool const goesOn = p.pass(s.code);
        EXPECT_EQ(goesOn, s.goesOn) << "step " << i;
        EXPECT_EQ(p.state(), s.state) << "step " << i;
        EXPECT_EQ(p.airborne(), s.airborne) << "step " << i;
        EXPECT_EQ(p.debounce(), s.debounce) << "step " << i;
        EXPECT_EQ(p.score().passed, s.passed) << "step " << i;
        if (!s.goesOn) {
            EXPECT_EQ(p.bush(), s.bushBefore) << "`]` moved the world";
        }
    }
}

TEST(Loop, PassedWindowIsEightToThirty)
{
    for (auto [bush, counted] : std::vector<std::pair<int, bool>>{{7, false}, {8, true}, {30, true}, {31, false}}) {
        Probe p(24, 80);
        p.play();
        p.bush() = bush;
        p.pass(' ');
        EXPECT_EQ(p.score().passed, counted ? 1 : 0) << "bush at " << bush;
        EXPECT_EQ(p.state(), GAME_STARTED) << "the press lifts the dino before the frame tests it";
    }
}

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    std::setlocale(LC_ALL, "C.UTF-8");
    setenv("TERM", "xterm-256color", 1);
    unsetenv("LINES");
    unsetenv("COLUMNS");
    // A new session whose controlling terminal is a fresh pty; the game finds
    // it through /dev/tty because standard input is not a terminal.
    if (setsid() < 0) {
        pid_t const child = fork();
        if (child > 0) {
            int status = 0;
            waitpid(child, &status, 0);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        }
        setsid();
    }
    gMaster = posix_openpt(O_RDWR | O_NOCTTY);
    if (gMaster < 0 || grantpt(gMaster) != 0 || unlockpt(gMaster) != 0 || open(ptsname(gMaster), O_RDWR) < 0 ||
        freopen("/dev/null", "r", stdin) == nullptr) {
        std::perror("pty");
        return 1;
    }
    // Drain what curses sends so the terminal never fills up and blocks it.
    std::thread([] {
        char sink[4096];
        while (read(gMaster, sink, sizeof sink) > 0) {
        }
    }).detach();
    return RUN_ALL_TESTS();
}
