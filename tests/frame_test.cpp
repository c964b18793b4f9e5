// Frame and loop rules, checked on a real curses screen: the game draws on a
// pseudo-terminal that this process holds as its controlling terminal, and
// the cells are read back from curses.
#include "dunehopper.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "tests/heap_counter.h"
#include "tests/own_terminal.h"

namespace {
int gMaster = -1;  // master side of the pty the game plays on

struct Cell {
    std::string glyph;  // as UTF-8
    short pair;
    attr_t attrs;
};
Cell cellAt(int y, int x)
{
    cchar_t cell{};
    wchar_t wide[CCHARW_MAX + 1] = {};
    attr_t attrs = 0;
    short pair = 0;
    mvin_wch(y, x, &cell);
    getcchar(&cell, wide, &attrs, &pair, nullptr);
    char bytes[MB_LEN_MAX];
    std::mbstate_t state{};
    std::size_t const n = std::wcrtomb(bytes, wide[0], &state);
    return {std::string(bytes, n > sizeof bytes ? 0 : n), pair, attrs & ~A_COLOR};  // -1: not a character
}
// The colour a cell's text is drawn in, named as curses names colours (the
// pair number alone would not tell a blue dino from a cyan one): the pair's
// foreground when its background is black, as all the game's are.
constexpr short kOwnColours = -1;  // pair 0: the terminal's own colours
constexpr short kNotOnBlack = -2;
short ink(int y, int x)
{
    short const pair = cellAt(y, x).pair;
    short foreground = kOwnColours;
    short background = COLOR_BLACK;
    if (pair != 0 && pair_content(pair, &foreground, &background) == ERR) {
        return kNotOnBlack;
    }
    return background == COLOR_BLACK ? foreground : kNotOnBlack;
}
std::string cells(int y, int x, int count)  // as UTF-8
{
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += cellAt(y, x + i).glyph;
    }
    return text;
}
std::string repeat(std::string_view unit, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += unit;
    }
    return text;
}
constexpr const char* kLegsA = "      █████   █████   ";
constexpr const char* kLegsB = "    █████   █████     ";
constexpr const char* kBody = "   ██████████████████ ";
constexpr const char* kDino[] = {"               ",           "   █████         ",        "  ██   ██            ",
                                 " █▛          ▄      ▄   ",  "▟█▙        ▄███▄▄▄▄███▄ ", "██████████████▀█████▀██▙▁",
                                 " ████████████████▀█████▀▔", "  ██████████████▄█▄███▛ ", kBody};
}  // namespace

struct DunehopperProbe {
    std::optional<Dunehopper> game;
    explicit DunehopperProbe(int rows, int cols)
    {
        winsize size{static_cast<unsigned short>(rows), static_cast<unsigned short>(cols), 0, 0};
        ioctl(gMaster, TIOCSWINSZ, &size);
        game.emplace();
    }
    bool pass(int code) { return game->advanceTimer(), game->handleKey(code); }
    Point& size() { return game->winSize; }
    Score& score() { return game->score; }
    std::int32_t& bush() { return game->bushPos; }
    char& state() { return game->gameState; }
    bool& airborne() { return game->isJump; }
    std::int8_t& jumpLeft() { return game->jumpTimer; }
    std::int8_t& debounce() { return game->debounceTimer; }
    std::int8_t& timer() { return game->timer; }
    void play() { game->startGame(); }
    [[nodiscard]] bool gone(bool askInput) const { return game->playerGone(askInput); }
    void frame() { game->draw(); }
    // The dino's rows as drawn from `top`; what follows the sprite is the
    // airborne legs, or the body again and the legs.
    static void expectDino(int top, std::vector<std::string> const& below)
    {
        for (int i = 0; i < 9; ++i) {
            EXPECT_EQ(cells(top + 1 + i, 5, 25).substr(0, std::strlen(kDino[i])), kDino[i]);
        }
        for (std::size_t i = 0; i < below.size(); ++i) {
            EXPECT_EQ(cells(top + 10 + int(i), 5, 22), below[i]);
        }
    }
};
using Probe = DunehopperProbe;

// A respawn lands beyond the right edge, within [cols, 2 cols), on one
// column per timer value: at most five columns.
TEST(Frame, OpensAtTheTerminalSizeAndRespawnsTheBushByTheTimer)
{
    for (auto [rows, cols] : std::vector<std::pair<int, int>>{{24, 80}, {10, 20}, {2, 3}, {1, 1}, {60, 200}}) {
        Probe p(rows, cols);
        EXPECT_EQ(p.size().x, cols);
        EXPECT_EQ(p.size().y, rows);
        EXPECT_EQ(wgetdelay(stdscr), 60) << "the key read's time-out is the frame's pace";
        EXPECT_TRUE(is_keypad(stdscr));
        EXPECT_EQ(p.state(), GAME_AI);
        EXPECT_EQ(p.bush(), -10);
        std::map<int, std::int32_t> columns;  // by timer
        for (int i = 0; i < 200; ++i) {       // the first pass respawns; prints off a tiny screen draw nothing
            std::int32_t const before = p.bush();
            p.pass(i % 7 == 0 ? ' ' : ERR);
            if (p.bush() != before - 3) {
                EXPECT_GE(p.bush(), cols) << rows << "x" << cols << " pass " << i;
                EXPECT_LT(p.bush(), 2 * cols) << rows << "x" << cols << " pass " << i;
                EXPECT_EQ(columns.try_emplace(p.timer(), p.bush()).first->second, p.bush())
                    << rows << "x" << cols << " timer " << int(p.timer());
            }
        }
        EXPECT_FALSE(columns.empty());
        if (cols == 80) {  // seeded by the timer, not once: more than one column in these passes
            std::set<std::int32_t> distinct;
            for (auto const& [timer, column] : columns) {
                distinct.insert(column);
            }
            EXPECT_GT(distinct.size(), 1U) << rows << "x" << cols;
        }
    }
}

TEST(Frame, BushMovesThreeColumnsIsDrawnLeftOfColsMinusFourAndBehindTheDino)
{
    Probe p(24, 80);
    p.bush() = 50;
    p.frame();
    EXPECT_EQ(p.bush(), 47);
    EXPECT_EQ(cells(19, 46, 7), " ▄█ █▄ ");
    EXPECT_EQ(cells(20, 46, 7), " ██ ██ ");
    EXPECT_EQ(cells(21, 46, 7), "  ███  ");
    EXPECT_EQ(cells(22, 46, 7), "  ███  ");
    EXPECT_EQ(ink(19, 48), COLOR_GREEN);
    p.bush() = 30;  // at 27 the standing dino's row covers the bush's first three columns
    p.frame();
    EXPECT_EQ(cells(19, 27, 5), "█▀▔█▄");
    p.bush() = 78;  // moves to 75 = cols - 5: drawn, up to the right edge
    p.frame();
    EXPECT_EQ(cells(19, 75, 5), "▄█ █▄");
    p.bush() = 79;  // moves to 76 = cols - 4: off
    p.frame();
    EXPECT_EQ(cells(19, 72, 8), repeat(" ", 8));
    p.bush() = 2;  // moves to -1: only the trunks start on the screen
    p.frame();
    EXPECT_EQ(cells(19, 0, 4), "    ");
    EXPECT_EQ(cells(22, 0, 3), "███");
    p.frame();  // -4: kept, though nothing of it shows
    EXPECT_EQ(p.bush(), -4);
    p.bush() = -2;  // moves to -5: respawned
    p.frame();
    EXPECT_GE(p.bush(), 80);
}

// A print that starts on the screen and runs past its right edge is left to
// curses, which carries it on to the next row.
TEST(Frame, PrintsRunningPastTheRightEdgeWrap)
{
    Probe p(10, 15);
    p.bush() = 2000;
    p.frame();
    EXPECT_EQ(cells(3, 0, 4), "rel!");   // the greeting, 18 characters from column 1
    EXPECT_EQ(cellAt(5, 0).glyph, "█");  // the dino's widest row, from column 5
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
        Probe p(24, 30);
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
        std::int8_t jumpLeft;
        std::int8_t jumpAfterFirst;
        char after;
    };  // after 12 frames: from the ground only a bush passing through 27 is cleared; one that
        // reaches 11 on a jump's last frame is jumped again, one that reaches 10 is not
    for (Case c :
         {Case{30, 0, 9, GAME_AI}, Case{33, 0, 0, GAME_AI}, Case{31, 0, 0, GAME_OVER}, Case{32, 0, 0, GAME_OVER},
          Case{14, 0, 9, GAME_OVER}, Case{14, 1, 9, GAME_AI}, Case{13, 1, 0, GAME_AI}}) {
        Probe p(24, 80);
        p.bush() = c.before;
        p.jumpLeft() = c.jumpLeft;
        p.airborne() = c.jumpLeft > 0;
        p.frame();
        EXPECT_EQ(p.jumpLeft(), c.jumpAfterFirst) << "bush from " << c.before << ", airborne for " << int(c.jumpLeft);
        for (int i = 1; i < 12; ++i) {
            p.frame();
        }
        EXPECT_EQ(p.state(), c.after) << "bush from " << c.before << ", airborne for " << int(c.jumpLeft);
        if (c.after == GAME_OVER) {
            EXPECT_EQ(cells(11, 36, 9), "GAME OVER");
            EXPECT_EQ(cells(12, 30, 20), "Press SPACE to start");
            p.bush() = 30;  // behind the message the demonstration goes on jumping
            p.frame();
            EXPECT_EQ(p.jumpLeft(), 9);
            p.bush() = 23;  // ... but does not restart a jump in the air
            p.frame();
            EXPECT_EQ(p.jumpLeft(), 8);
            EXPECT_EQ(p.state(), GAME_OVER);
            p.play();  // a run takes both messages away
            p.frame();
            EXPECT_EQ(cells(11, 30, 20), repeat(" ", 20));
            EXPECT_EQ(cells(12, 30, 20), repeat(" ", 20));
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
        EXPECT_EQ(cells(23, 0, 80), repeat("█", 80)) << "ground under a jump, frame " << frame;
        EXPECT_EQ(ink(14, 5), COLOR_BLUE);
        if (frame < 9) {
            Probe::expectDino(8, {kLegsA, repeat(" ", 22)});
            for (int row = 19; row < 23; ++row) {  // where the standing dino was
                EXPECT_EQ(cells(row, 5, 25), repeat(" ", 25)) << "row " << row << ", frame " << frame;
            }
            p.pass(ERR);
        } else {
            Probe::expectDino(8, {kBody, kLegsA});  // timer 4
        }
    }
    for (auto [timer, legs] : {std::pair{0, kLegsB}, {1, kLegsA}, {4, kLegsA}}) {  // back on the ground
        p.timer() = static_cast<std::int8_t>(timer);
        p.frame();
        Probe::expectDino(12, {kBody});
        EXPECT_EQ(cells(23, 0, 31), std::string("████ ") + legs + "  ██") << "timer " << timer;
        EXPECT_EQ(cells(10, 5, 25), repeat(" ", 25)) << "where the airborne dino's head was";
    }
}

TEST(Frame, ScoreGreetingAndColours)
{
    Probe p(24, 80);
    p.play();
    p.bush() = 2000;
    p.score() = {41, 3};
    p.frame();  // shows the count before this frame adds itself
    EXPECT_EQ(cells(5, 1, 22), "Score: 0003 x 00000041");
    EXPECT_EQ(cells(2, 1, 18), "WelCome to Tavrel!");
    EXPECT_EQ(ink(5, 1), COLOR_MAGENTA);
    EXPECT_EQ(ink(2, 1), COLOR_MAGENTA);
    for (auto [pair, colour] : {std::pair<short, short>{1, COLOR_RED}, {4, COLOR_CYAN}}) {  // made, never drawn with
        short foreground = 0;
        short background = 0;
        pair_content(pair, &foreground, &background);
        EXPECT_EQ(std::pair(foreground, background), std::pair(colour, short{COLOR_BLACK})) << "pair " << pair;
    }
    p.state() = GAME_OVER;  // a lost run keeps its score on screen
    p.frame();
    EXPECT_EQ(cells(5, 1, 22), "Score: 0003 x 00000042");
    EXPECT_EQ(cells(11, 36, 9), "GAME OVER");
    EXPECT_EQ(ink(11, 36), kOwnColours);  // messages in the terminal's own colours
    EXPECT_EQ(ink(12, 30), kOwnColours);
    p.state() = GAME_STARTED;  // the count stops at its largest value rather than overflow
    p.score().time = INT32_MAX;
    p.frame();
    p.frame();
    EXPECT_EQ(p.score().time, INT32_MAX);
    EXPECT_EQ(cells(5, 1, 24), "Score: 0003 x 2147483647");
    struct Place {
        int rows, cols, row, gameOverColumn, promptColumn;
    };  // halves rounded toward zero
    for (Place at : {Place{25, 81, 11, 36, 30}, Place{23, 79, 10, 35, 29}}) {
        Probe odd(at.rows, at.cols);
        odd.bush() = 2000;
        odd.state() = GAME_OVER;
        odd.frame();
        EXPECT_EQ(cells(at.row, at.gameOverColumn, 9), "GAME OVER") << at.rows << "x" << at.cols;
        EXPECT_EQ(cells(at.row + 1, at.promptColumn, 20), "Press SPACE to start") << at.rows << "x" << at.cols;
    }
}

TEST(Frame, NoScreenWidthDrawsNothing)
{
    for (int width : {0, -1}) {
        Probe p(24, 80);
        p.size() = {width, width};
        p.frame();
        EXPECT_EQ(p.bush(), -10);  // no width to respawn into
    }
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
    // The first frame, and again after the terminal shrank (which cut rows
    // off and wrapped the dino's) and grew back, with a frame at the smaller
    // size or none: nothing of an earlier frame may be taken as still shown.
    for (auto [what, between] : {std::pair{"first frame", 0}, {"resized", 1}, {"resized twice between frames", 2}}) {
        if (between > 0) {
            resizeterm(8, 20);
            if (between == 1) {
                p.bush() = 30;
                p.score() = {};
                p.pass(KEY_RESIZE);
                EXPECT_EQ(cells(6, 0, 3), "000") << "the score, from column 1, wraps at the new width";
            }
            resizeterm(16, 32);
        }
        p.bush() = 30;  // moves to 27: drawn, clear of the collision window
        p.score() = {};
        p.timer() = 4;  // the pass makes it 0: legs B
        p.pass(between > 0 ? KEY_RESIZE : ERR);
        for (int row = 0; row < 16; ++row) {
            EXPECT_EQ(cells(row, 0, 32), expected.at(static_cast<std::size_t>(row))) << what << ", row " << row;
        }
    }
    EXPECT_EQ(ink(14, 31), kOwnColours) << "a blank keeps no colour";
    for (int row = 0; row < 16; ++row) {
        for (int col = 0; col < 32; ++col) {
            EXPECT_EQ(cellAt(row, col).attrs, A_NORMAL) << "row " << row << " column " << col;
        }
    }
    EXPECT_EQ(ink(15, 31), COLOR_GREEN) << "the ground";
}

// The loop runs for hours, so steady play must not touch the heap at all.
// The first passes may: curses fills its own caches the first time it
// scrolls or sends a colour.
TEST(Frame, NoHeapAllocationInSteadyPlay)
{
    if (!heap::kCounting) {
        GTEST_SKIP() << "the sanitizer's allocator cannot be counted";
    }
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

// One scripted game through the loop: what each key does to the state, the
// jump, the debounce and the score. Each row runs `times` passes.
TEST(Loop, DebounceJumpsPassedRestartAndQuit)
{
    struct Step {
        int code, times, bushBefore;
        char state;
        int jumpLeft, debounce, passed;
    };
    constexpr int kEsc = 27;
    constexpr int kFar = 2000;
    std::vector<Step> const steps = {
        {' ', 1, 14, GAME_STARTED, 0, 4, 0},      // the first key meets no wait: the run starts, the bush put back
        {ERR, 3, kFar, GAME_STARTED, 0, 1, 0},    //
        {' ', 1, kFar, GAME_STARTED, 0, 4, 0},    // a pass too soon: ignored, and the wait restarts
        {ERR, 2, kFar, GAME_STARTED, 0, 2, 0},    //
        {kEsc, 1, kFar, GAME_STARTED, 0, 4, 0},   // any other key restarts the wait too
        {ERR, 3, kFar, GAME_STARTED, 0, 1, 0},    //
        {0x1FF, 1, kFar, GAME_STARTED, 0, 0, 0},  // low byte 0xFF counts as no key
        {0x120, 1, 20, GAME_STARTED, 8, 4, 1},    // low byte 0x20 is SPACE; bush near: passed
        {ERR, 4, kFar, GAME_STARTED, 4, 0, 1},    //
        {' ', 1, 30, GAME_STARTED, 8, 4, 2},      // in the air: the jump starts afresh
        {ERR, 8, kFar, GAME_STARTED, 0, 0, 2},    //
        {ERR, 1, 20, GAME_OVER, 9, 0, 2},         // on the ground the bush ends the run; the demo jumps
        {' ', 1, kFar, GAME_STARTED, 8, 4, 0},    // SPACE starts a new run, which keeps the jump
    };
    Probe p(24, 80);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        Step const& s = steps[i];
        p.bush() = s.bushBefore;
        for (int n = 0; n < s.times; ++n) {
            EXPECT_TRUE(p.pass(s.code));
        }
        EXPECT_EQ(p.state(), s.state) << "step " << i;
        EXPECT_EQ(p.jumpLeft(), s.jumpLeft) << "step " << i;
        EXPECT_EQ(p.debounce(), s.debounce) << "step " << i;
        EXPECT_EQ(p.score().passed, s.passed) << "step " << i;
    }
    EXPECT_EQ(p.score().time, 1) << "the new run counts from its first frame";
    p.bush() = 50;
    EXPECT_FALSE(p.pass(0x15D));  // low byte 0x5D is `]`: leave without a frame
    EXPECT_EQ(p.bush(), 50);
}

TEST(Loop, PassedWindowIsEightToThirtyAndThePressLiftsTheDinoFirst)
{
    for (auto [bush, counted] : std::vector<std::pair<int, bool>>{{7, false}, {8, true}, {30, true}, {31, false}}) {
        Probe p(24, 80);
        p.play();
        p.bush() = bush;
        p.pass(' ');
        EXPECT_EQ(p.score().passed, counted ? 1 : 0) << "bush at " << bush;
        EXPECT_EQ(p.state(), GAME_STARTED) << "bush at " << bush;
    }
}

// The terminal the screen is drawn on, opened while standard input is closed,
// must not take descriptor 0: the game would then take it for a failure, or
// read its keys from it, and it would outlive the game.
TEST(Frame, OpensOnTheTerminalWithStandardInputClosed)
{
    int const input = dup(STDIN_FILENO);
    close(STDIN_FILENO);
    {
        Probe p(24, 80);
        EXPECT_EQ(p.size().x, 80) << "no screen";
        EXPECT_EQ(fcntl(STDIN_FILENO, F_GETFD), -1) << "the terminal took standard input's place";
    }
    EXPECT_EQ(fcntl(STDIN_FILENO, F_GETFD), -1) << "a descriptor left behind by the game";
    dup2(input, STDIN_FILENO);
    close(input);
}

// Whether the player has gone, asked of keys fed through a pipe: only an
// input that has ended counts, and keys a departed writer left are played.
TEST(Loop, PlayerGoneOnlyOnceTheInputHasEnded)
{
    struct Case {
        const char* what;
        bool writerStays;
        int keys;
        bool gone;
    };
    Probe p(24, 80);
    int const terminal = dup(STDIN_FILENO);
    for (Case c : {Case{"a key waiting", true, 1, false}, Case{"nothing yet", true, 0, false},
                   Case{"keys left behind", false, 2, false}, Case{"ended", false, 0, true}}) {
        int ends[2];
        if (pipe(ends) != 0) {  // not ASSERT: the terminal must go back to standard input below
            ADD_FAILURE() << "no pipe";
            break;
        }
        EXPECT_EQ(write(ends[1], "  ", c.keys), c.keys);
        if (!c.writerStays) {
            close(ends[1]);
        }
        dup2(ends[0], STDIN_FILENO);
        close(ends[0]);
        EXPECT_EQ(p.gone(true), c.gone) << c.what;
        EXPECT_FALSE(p.gone(false)) << c.what << ": the screen's terminal is still there";
        if (c.writerStays) {
            close(ends[1]);
        }
    }
    dup2(terminal, STDIN_FILENO);
    close(terminal);
}

TEST(Loop, StartReadsTheTerminalUntilQuit)
{
    Probe p(24, 80);
    ASSERT_EQ(write(gMaster, " abcd]", 6), 6);
    p.game->start();  // six passes, five frames; the timer wraps after 4
    int row = 0;
    int column = 0;
    getyx(stdscr, row, column);
    EXPECT_NE(cellAt(row, column - 1).glyph, "]") << "the key read was echoed";
    EXPECT_EQ(p.timer(), 1);
    EXPECT_EQ(p.state(), GAME_STARTED);
    EXPECT_EQ(p.score().time, 5);
}

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    std::setlocale(LC_ALL, "C.UTF-8");
    setenv("TERM", "xterm-256color", 1);
    unsetenv("LINES");
    unsetenv("COLUMNS");
    gMaster = ownTerminal();
    if (gMaster < 0) {
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
