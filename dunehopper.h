// dunehopper: a jump-over-the-bush terminal game that stands between a
// player and a message only one machine's firmware key can reveal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <curses.h>

enum GAME_STATE_TABLE : std::uint32_t {
    GAME_STARTED = 0,  // a run under the player's control
    GAME_OVER = 1,     // a bush hit the dino; the demonstration plays on behind the message
    GAME_AI = 2,       // the demonstration jumps by itself
};

struct Point {
    std::int32_t x;
    std::int32_t y;
};

struct Score {
    std::int32_t time;    // frames survived in the current run
    std::int32_t passed;  // jump presses made while a bush was near
};

// Runs the reveal pipeline and copies what it prints to standard output.
// The key only travels along for the caller's sake: the pipeline reads the
// firmware variable itself.
void Test(std::string key);

class Dunehopper {
public:
    Dunehopper();
    ~Dunehopper();
    Dunehopper(const Dunehopper&) = delete;
    Dunehopper& operator=(const Dunehopper&) = delete;
    Dunehopper(Dunehopper&&) = delete;
    Dunehopper& operator=(Dunehopper&&) = delete;

    // Plays until the player presses `]`, standard input ends, the terminal
    // goes away, or an interrupt, termination, quit or hang-up signal arrives.
    void start();

private:
    friend struct DunehopperProbe;  // lets the frame tests drive single passes

    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    struct ScreenDeleter {
        void operator()(SCREEN* screen) const { delscreen(screen); }
    };
    struct WindowDeleter {
        void operator()(WINDOW* window) const { delwin(window); }
    };
    using File = std::unique_ptr<std::FILE, FileCloser>;
    using Cells = std::vector<cchar_t>;
    // A run of finished cells that a frame puts at a place of one row; a
    // print that runs past the right edge is one span per row it reaches.
    struct Span {
        int row;
        int column;
        int length;
        cchar_t const* cells;
        int order;  // among the frame's spans: a later one covers an earlier
    };

    void startCurses();
    void stopCurses();
    bool openTerminal();
    [[nodiscard]] bool playerGone(bool askInput) const;
    void suspend();
    void advanceTimer();
    bool handleKey(int code);
    void draw();
    void drawDino();
    void drawTerrain();
    void drawBush();
    void drawScore();
    void clear();
    void paint();
    void repaintRow(int row, std::span<Span const> before, std::span<Span const> now);
    void show(int row, int column, cchar_t const* cells, int length, bool wraps);
    void show(int row, int column, Cells const& text);
    void makeCells();
    void cellsOf(std::string_view text, short pair, Cells& cells) const;
    void gameOver();
    void aiGame();
    void startGame();
    void jump();

    Point winSize{};
    Score score{};
    cchar_t emptyLine{};  // the blank that wipes what is no longer drawn
    std::int8_t timer = 0;
    std::int8_t debounceTimer = 0;
    std::int8_t jumpTimer = 0;
    bool isJump = false;
    std::int32_t bushPos = 0;
    char gameState = 0;

    // The controlling terminal, opened for the screen when standard output
    // is not a terminal. Declared before the screen so that the screen is
    // deleted before the file closes.
    File ttyOut;
    std::unique_ptr<SCREEN, ScreenDeleter> screen;

    // What the frames draw, made once when the screen opens: the fixed texts
    // as cells, the ground row, and the score's cells this frame and last.
    std::unique_ptr<WINDOW, WindowDeleter> scratch;  // where curses makes cells of a text
    std::vector<Cells> texts;
    Cells ground;
    std::string scoreText;
    Cells scoreCells;
    Cells scoreShown;
    // This frame's spans, and those the screen shows from the last frame.
    std::vector<Span> drawing;
    std::vector<Span> shown;
    std::vector<int> cuts;  // the edges of a row's spans, this frame's and the last's
    bool paintAll = true;   // the first frame, and the first after the screen was away
};
