#include "dunehopper.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <span>
#include <string_view>

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#ifndef DUNEHOPPER_PAYLOAD
#error "DUNEHOPPER_PAYLOAD must name the 64-character base64 payload (the build sets it)"
#endif

namespace {

// ---------------------------------------------------------------------------
// Fixed texts. Their sizes are part of the program's contract with the
// reveal pipeline and the screen, so the compiler checks them.

// Characters of a UTF-8 text: the bytes that do not continue another.
constexpr std::size_t characters(std::string_view utf8)
{
    return static_cast<std::size_t>(
        std::ranges::count_if(utf8, [](char const c) { return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U; }));
}

constexpr bool isBase64Alphabet(std::string_view text)
{
    return std::ranges::all_of(text, [](char const c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
    });
}

constexpr std::string_view kKeyPath = "/sys/firmware/efi/efivars/Tavrel-6295c686-85e2-49db-8650-6f38a25fa7a3";
static_assert(kKeyPath.size() == 69);

// clang-format off: the banner and sprites are laid out as they look
constexpr std::string_view testShader =
    R"~(  ______   ______   .__   __.   _______ .______          ___   .___________. __    __   __          ___   .___________. __    ______   .__   __.      _______.)~"
    "\n"
    R"~( /      | /  __  \  |  \ |  |  /  _____||   _  \        /   \  |           ||  |  |  | |  |        /   \  |           ||  |  /  __  \  |  \ |  |     /       |)~"
    "\n"
    R"~(|  ,----'|  |  |  | |   \|  | |  |  __  |  |_)  |      /  ^  \ `---|  |----`|  |  |  | |  |       /  ^  \ `---|  |----`|  | |  |  |  | |   \|  |    |   (----`)~"
    "\n"
    R"~(|  |     |  |  |  | |  . `  | |  | |_ | |      /      /  /_\  \    |  |     |  |  |  | |  |      /  /_\  \    |  |     |  | |  |  |  | |  . `  |     \   \    )~"
    "\n"
    R"~(|  `----.|  `--'  | |  |\   | |  |__| | |  |\  \----./  _____  \   |  |     |  `--'  | |  `----./  _____  \   |  |     |  | |  `--'  | |  |\   | .----)   |   )~"
    "\n"
    R"~( \______| \______/  |__| \__|  \______| | _| `._____/__/     \__\  |__|      \______/  |_______/__/     \__\  |__|     |__|  \______/  |__| \__| |_______/    )~"
    "\n"
    "                                                                                                                  "
    "                                            \n";
// clang-format on
static_assert(testShader.size() == 1113, "seven lines of 158 characters and a newline");

constexpr std::string_view kCommandHead =
    "tavrel=`base64 /sys/firmware/efi/efivars/Tavrel-6295c686-85e2-49db-8650-6f38a25fa7a3`;echo ";
constexpr std::string_view kPayload = DUNEHOPPER_PAYLOAD;
constexpr std::string_view kCommandTail = " | openssl aes-128-cbc -d -pbkdf2 -base64 -k $tavrel";
static_assert(kCommandHead.size() == 91);
static_assert(kCommandHead.find(kKeyPath) != std::string_view::npos, "the pipeline reads the probed variable");
static_assert(kPayload.size() == 64, "48 bytes of salted ciphertext in base64");
static_assert(isBase64Alphabet(kPayload), "the payload is plain base64 without padding or line breaks");
// "Salted__" is 10 characters and the high four bits of the 11th.
static_assert(kPayload.starts_with("U2FsdGVkX1") &&
                  std::string_view("89+/").find(kPayload[10]) != std::string_view::npos,
              "the payload starts with the base64 of \"Salted__\"");
static_assert(kCommandTail.size() == 52);

// The command as one terminated text, glued together at compile time.
constexpr auto kCommand = [] {
    std::array<char, kCommandHead.size() + kPayload.size() + kCommandTail.size() + 1> text{};
    std::size_t at = 0;
    for (std::string_view const piece : {kCommandHead, kPayload, kCommandTail}) {
        for (char const c : piece) {
            text.at(at++) = c;
        }
    }
    return text;
}();
constexpr std::string_view cmd{kCommand.data(), kCommand.size() - 1};
static_assert(cmd.size() == 207);

constexpr std::size_t N = 300;

enum ColourPair : short { kNoPair = 0, kRed = 1, kGreen = 2, kBlue = 3, kCyan = 4, kMagenta = 5 };

// Every fixed text of the screen, in the colour it is drawn in. The screen
// makes each into cells once, and a frame only copies cells. The dino's rows
// keep their trailing blanks: the blanks are what wipe the bush where the
// dino stands in front of it.
struct FixedText {
    std::string_view utf8;
    std::size_t characters;  // one screen column each
    ColourPair pair;
};
// clang-format off
enum TextIndex : std::uint8_t {
    kDinoTop = 0, kDinoBody = 8, kLegsA = 9, kLegsB = 10,  // the dino's nine rows from the top, then its legs
    kBushTop = 11, kBushBranches = 12, kBushTrunk = 13, kGround = 14, kGreeting = 15, kGameOver = 16, kPrompt = 17,
    kTextCount = 18
};
constexpr std::array<FixedText, kTextCount> kTexts = {{
    {"               ", 15, kBlue},
    {"   █████         ", 17, kBlue},
    {"  ██   ██            ", 21, kBlue},
    {" █▛          ▄      ▄   ", 24, kBlue},
    {"▟█▙        ▄███▄▄▄▄███▄ ", 24, kBlue},
    {"██████████████▀█████▀██▙▁", 25, kBlue},
    {" ████████████████▀█████▀▔", 25, kBlue},
    {"  ██████████████▄█▄███▛ ", 24, kBlue},
    {"   ██████████████████ ", 22, kBlue},
    {"      █████   █████   ", 22, kBlue},
    {"    █████   █████     ", 22, kBlue},
    {"▄█ █▄", 5, kGreen},
    {"██ ██", 5, kGreen},
    {"███", 3, kGreen},
    {"█", 1, kGreen},
    {"WelCome to Tavrel!", 18, kMagenta},
    {"GAME OVER", 9, kNoPair},
    {"Press SPACE to start", 20, kNoPair},
}};
// clang-format on
static_assert(std::ranges::all_of(kTexts,
                                  [](FixedText const& text) { return characters(text.utf8) == text.characters; }));
static_assert(kTexts[kGround].utf8 == "\u2588");
constexpr int kDinoRows = kDinoBody - kDinoTop + 1;

constexpr const char* kScoreFormat = "Score: %04d x %08d";
constexpr std::size_t kScoreMost = 48;  // the format with two of the longest numbers, and room

// ---------------------------------------------------------------------------
// Game rules that are numbers.

constexpr int kDinoColumn = 5;
constexpr int kGapFirst = 4;  // the bare ground under the standing dino's feet
constexpr int kGapLast = 28;
constexpr int kKeyTimeoutMs = 60;
// Passes between two looks at whether the player is still there: about once
// a second at the game's pace, and at once in a burst when the input has
// ended and every read returns at once.
constexpr int kLookEvery = 16;
constexpr std::int8_t kTimerCycle = 4;      // timer runs 0..4
constexpr std::int8_t kDebouncePasses = 4;  // key-less passes before SPACE counts again
constexpr std::int8_t kJumpFrames = 9;
constexpr std::int32_t kBushStart = -10;  // left of the screen: the first frame respawns it
constexpr std::int32_t kBushStep = 3;
constexpr std::int32_t kBushGone = -4;
constexpr std::int32_t kCollideFirst = 8;
constexpr std::int32_t kCollideLast = 26;
constexpr std::int32_t kPassedFirst = 8;
constexpr std::int32_t kPassedLast = 30;
constexpr std::int32_t kDemoJumpFirst = 11;
constexpr std::int32_t kDemoJumpLast = 27;
constexpr std::int8_t kSpace = 0x20;
constexpr std::int8_t kQuit = 0x5D;  // ']'
constexpr std::int8_t kNoKey = -1;

bool within(std::int32_t value, std::int32_t first, std::int32_t last)
{
    return value >= first && value <= last;
}

// Installs `handler` for `signal` unless the signal is already ignored or
// handled: what the program's starter chose is left as it is.
void handleIfDefault(int signal, void (*handler)(int))
{
    struct sigaction found = {};
    if (sigaction(signal, nullptr, &found) != 0 || found.sa_handler != SIG_DFL) {
        return;
    }
    struct sigaction ours = {};
    ours.sa_handler = handler;
    ours.sa_flags = SA_RESTART;
    sigemptyset(&ours.sa_mask);
    sigaction(signal, &ours, nullptr);
}

void setDefaultAction(int signal)
{
    struct sigaction plain = {};
    plain.sa_handler = SIG_DFL;
    sigemptyset(&plain.sa_mask);
    sigaction(signal, &plain, nullptr);
}

// What the game's signal handlers leave for its loop. A handler may only
// store to lock-free static data; putting the terminal back is no work for
// it (curses is not async-signal-safe), so the loop does that after the key
// read, which the signal cuts short.
volatile std::sig_atomic_t stopAsked = 0;     // Ctrl-Z: suspend, then play on
volatile std::sig_atomic_t endingSignal = 0;  // Ctrl-C, SIGTERM, Ctrl-\, SIGHUP: leave without the reveal

void noteSignal(int signal)
{
    if (signal == SIGTSTP) {
        stopAsked = 1;
    } else {
        endingSignal = signal;
    }
}

// Taken before the screen opens, so that curses finds them handled and
// leaves them alone. For SIGTSTP that also spares every refresh the two
// sigaction calls with which curses would hold a suspension off meanwhile.
// SIGHUP, which curses leaves to its default action, would end the process
// on the alternate screen with the cursor hidden where the terminal is still
// there (`kill -HUP`); where it has gone, putting it back costs a few writes
// that fail at once.
constexpr std::array kGameSignals{SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGTSTP};

void noteGameSignals()
{
    for (int const signal : kGameSignals) {
        handleIfDefault(signal, noteSignal);
    }
}

// After the game nothing may interrupt the reveal's reads and writes: the
// game's handlers go, and so does the resize handler curses installs (it
// does so only where it found the default action).
void restoreSignals()
{
    for (int const signal : kGameSignals) {
        struct sigaction found = {};
        if (sigaction(signal, nullptr, &found) == 0 && found.sa_handler == noteSignal) {
            setDefaultAction(signal);
        }
    }
    struct sigaction resize = {};
    if (sigaction(SIGWINCH, nullptr, &resize) == 0 && resize.sa_handler != SIG_DFL && resize.sa_handler != SIG_IGN) {
        setDefaultAction(SIGWINCH);
    }
}

// For the screen when standard output is redirected; the caller owns the
// stream. Kept above the three standard descriptors: with standard input
// closed it would otherwise take its place and be read for keys.
std::FILE* openControllingTerminal()
{
    int const opened = open("/dev/tty", O_WRONLY | O_CLOEXEC);
    if (opened < 0) {
        return nullptr;
    }
    int const fd = fcntl(opened, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(opened);
    std::FILE* const file = fd < 0 ? nullptr : fdopen(fd, "w");
    if (file == nullptr && fd >= 0) {
        close(fd);
    }
    return file;
}

bool canPlaceCursor()
{
    char const* const moveTo = tigetstr("cup");
    // NOLINTNEXTLINE(performance-no-int-to-ptr): curses' own mark for "not a text capability"
    return moveTo != nullptr && moveTo != reinterpret_cast<char*>(-1);
}

}  // namespace

// ---------------------------------------------------------------------------
// Reveal

// NOLINTNEXTLINE(performance-unnecessary-value-param): the copy is the interface
void Test([[maybe_unused]] std::string key)
{
    std::string const sysCommand{cmd};
    struct PipeCloser {
        void operator()(std::FILE* pipe) const { pclose(pipe); }
    };
    std::unique_ptr<std::FILE, PipeCloser> const fp{popen(sysCommand.c_str(), "r")};
    if (!fp) {
        std::cout << "error\n" << std::flush;
        return;
    }
    // Byte for byte: the message is the deployer's and may hold anything,
    // zero bytes included. A signal that interrupts the read is no end of
    // the message.
    std::array<char, N> line{};
    int const from = fileno(fp.get());
    for (;;) {
        ssize_t const got = read(from, line.data(), line.size());
        if (got > 0) {
            std::cout.write(line.data(), got);
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// Game object and main loop

Dunehopper::Dunehopper()
{
    startCurses();
    bushPos = kBushStart;
    gameState = GAME_AI;
}

Dunehopper::~Dunehopper()
{
    stopCurses();
}

void Dunehopper::start()
{
    if (!screen) {
        return;
    }
    // Standard input open for writing only (`0>/dev/tty`) can report keys
    // waiting that no read will ever return.
    int const inputMode = fcntl(STDIN_FILENO, F_GETFL);
    if (inputMode == -1 || (inputMode & O_ACCMODE) == O_WRONLY) {
        return;
    }
    int pass = 0;
    for (;;) {
        advanceTimer();
        int const code = wgetch(stdscr);
        if (stopAsked != 0) {
            suspend();
        }
        if (endingSignal != 0) {
            return;
        }
        // An input that has ended answers every read at once with no key, and
        // a terminal that hung up while SIGHUP is ignored swallows every frame,
        // also while a pipe keeps feeding keys: either way the loop would run
        // for ever. Looking only now and then costs a frame a sixteenth of a
        // system call. The input's end counts only on a pass without a key,
        // so that the last key of a file is still played.
        pass = (pass + 1) % kLookEvery;
        if (pass == 0 && playerGone(code == ERR)) {
            return;
        }
        if (!handleKey(code)) {
            return;
        }
    }
}

void Dunehopper::advanceTimer()
{
    timer = static_cast<std::int8_t>(timer >= kTimerCycle ? 0 : timer + 1);
}

// One pass after its key read; false when the player leaves.
bool Dunehopper::handleKey(int code)
{
    // Curses resized the screen, perhaps twice since the last frame (once
    // inside a refresh, once inside the key read): what a smaller size cut
    // off is gone even where the screen has grown back.
    if (code == KEY_RESIZE) {
        paintAll = true;
    }
    // Only the low byte counts, so special keys alias plain ones.
    auto const key = static_cast<std::int8_t>(code);
    if (key == kSpace) {
        if (debounceTimer == 0) {
            switch (gameState) {
            case GAME_STARTED:
                jump();
                if (within(bushPos, kPassedFirst, kPassedLast)) {
                    ++score.passed;
                }
                break;
            case GAME_OVER:
            case GAME_AI:
                startGame();
                break;
            default:
                break;
            }
        }
        draw();
        refresh();
        debounceTimer = kDebouncePasses;
        return true;
    }
    if (key == kQuit) {
        return false;
    }
    draw();
    refresh();
    if (key == kNoKey) {
        if (debounceTimer > 0) {
            --debounceTimer;
        }
    } else {
        debounceTimer = kDebouncePasses;
    }
    return true;
}

void Dunehopper::startGame()
{
    gameState = GAME_STARTED;
    score.time = 0;
    score.passed = 0;
    bushPos = kBushStart;
}

void Dunehopper::jump()
{
    jumpTimer = kJumpFrames;
    isJump = true;
}

// ---------------------------------------------------------------------------
// Curses screen

// Keys always come from standard input, so that a caller can feed them
// (`printf ']' | dunehopper` goes straight to the reveal). The screen goes
// to standard output, or to the controlling terminal when standard output is
// redirected, so that a file given it gets only the banner and the reveal.
// newterm, unlike initscr, reports an unusable terminal instead of ending
// the process.
bool Dunehopper::openTerminal()
{
    std::FILE* out = stdout;
    if (isatty(STDOUT_FILENO) == 0) {
        ttyOut.reset(openControllingTerminal());
        if (!ttyOut) {
            std::cerr << "dunehopper: no terminal to play on, skipping the game\n";
            return false;
        }
        out = ttyOut.get();
    }
    noteGameSignals();
    screen.reset(newterm(nullptr, out, stdin));
    // A terminal that cannot place the cursor (such as "dumb") opens, but its
    // frames would only scroll past as lines of blocks.
    bool const usable = screen && canPlaceCursor();
    if (!usable) {
        if (screen) {
            endwin();
            screen.reset();
        }
        restoreSignals();
        char const* term = std::getenv("TERM");
        std::cerr << "dunehopper: cannot use terminal type '" << (term != nullptr ? term : "")
                  << "', skipping the game\n";
    }
    return usable;
}

void Dunehopper::startCurses()
{
    if (!openTerminal()) {
        winSize = {-1, -1};
        return;
    }
    start_color();
    noecho();
    cbreak();
    bool const cursorHidden = curs_set(0) != ERR;
    init_pair(kRed, COLOR_RED, COLOR_BLACK);
    init_pair(kGreen, COLOR_GREEN, COLOR_BLACK);
    init_pair(kBlue, COLOR_BLUE, COLOR_BLACK);
    init_pair(kCyan, COLOR_CYAN, COLOR_BLACK);
    init_pair(kMagenta, COLOR_MAGENTA, COLOR_BLACK);
    if (stdscr != nullptr) {
        winSize.y = getmaxy(stdscr);
        winSize.x = getmaxx(stdscr);
    } else {
        winSize = {-1, -1};
    }
    keypad(stdscr, TRUE);
    wtimeout(stdscr, kKeyTimeoutMs);
    // A hidden cursor need not be brought back to its place after each update.
    leaveok(stdscr, cursorHidden);
    // Every refresh runs to its end instead of polling for typeahead on the
    // way: a frame is due every pass anyway, and the polls were two system
    // calls a frame.
    typeahead(-1);
    setcchar(&emptyLine, L" ", A_NORMAL, 0, nullptr);
    makeCells();
    // Until the screen has been left once, ncurses sends what it has at
    // every cursor jump, a write for each changed group of rows; leaving and
    // taking it back now, before the first frame, lets each frame go out in
    // one write, for the price of the start-up sequence sent twice.
    endwin();
    doupdate();
}

// Curses makes the cells, so that they are what printing the texts would
// leave on the screen in this locale, whatever its character set. The ground
// is one cell a column: the first of the block's, where a locale that cannot
// show it spells it out in several.
void Dunehopper::makeCells()
{
    constexpr int kWidest = 512;  // a text curses spells out byte by byte in a locale that cannot show it
    scratch.reset(newpad(1, kWidest));
    texts.resize(kTexts.size());
    for (std::size_t i = 0; i < kTexts.size(); ++i) {
        cellsOf(kTexts.at(i).utf8, kTexts.at(i).pair, texts[i]);
    }
    cchar_t const block = texts[kGround].empty() ? emptyLine : texts[kGround].front();
    ground.assign(static_cast<std::size_t>(std::max(winSize.x, 0)), block);
    constexpr std::size_t kUsualSpans = 64;  // a frame has about twenty; more only on a very narrow screen
    drawing.reserve(kUsualSpans);
    shown.reserve(kUsualSpans);
    cuts.reserve(2 * kUsualSpans);
}

void Dunehopper::cellsOf(std::string_view text, short pair, Cells& cells) const
{
    cells.clear();
    WINDOW* const pad = scratch.get();
    if (pad == nullptr) {
        return;
    }
    wattr_set(pad, A_NORMAL, pair, nullptr);
    mvwaddnstr(pad, 0, 0, text.data(), static_cast<int>(text.size()));
    int const length = getcurx(pad);
    cells.resize(static_cast<std::size_t>(length) + 1);  // curses ends what it copies with a null cell
    mvwin_wchnstr(pad, 0, 0, cells.data(), length);
    cells.pop_back();
}

void Dunehopper::stopCurses()
{
    if (screen) {
        endwin();
    }
    restoreSignals();
}

// Has the screen's terminal gone away, or (when asked) the input ended or
// hung up? The end of a pipe, a file or /dev/null reads as "readable" with
// nothing to read (FIONREAD fails on /dev/null: nothing either), a hang-up
// or a closed descriptor as POLLHUP, POLLERR or POLLNVAL. Keys still waiting
// in a pipe whose writer has gone are played first.
bool Dunehopper::playerGone(bool askInput) const
{
    constexpr short kGone = POLLHUP | POLLERR | POLLNVAL;
    std::array<pollfd, 2> probe{{{STDIN_FILENO, POLLIN, 0}, {fileno(ttyOut ? ttyOut.get() : stdout), 0, 0}}};
    if (poll(probe.data(), probe.size(), 0) <= 0) {
        return false;
    }
    if ((probe[1].revents & kGone) != 0) {
        return true;
    }
    if (!askInput) {
        return false;
    }
    int waiting = 0;
    if ((probe[0].revents & POLLIN) != 0) {
        return ioctl(STDIN_FILENO, FIONREAD, &waiting) != 0 || waiting == 0;
    }
    return (probe[0].revents & kGone) != 0;
}

// Ctrl-Z: the terminal goes back to the shell while the game is stopped,
// and the next refresh takes it again and repaints the whole screen.
void Dunehopper::suspend()
{
    stopAsked = 0;
    paintAll = true;
    endwin();
    setDefaultAction(SIGTSTP);
    std::raise(SIGTSTP);  // stopped here until `fg`
    handleIfDefault(SIGTSTP, noteSignal);
    def_shell_mode();  // whatever the player set meanwhile is what `]` goes back to
    doupdate();
}

// ---------------------------------------------------------------------------
// Frame: advances the world and paints it, in an order that is part of the
// rules (the ground sees the jump state from before the countdown, the
// demonstration sees the bush after this frame's move).

void Dunehopper::draw()
{
    drawing.clear();
    drawTerrain();
    drawBush();
    drawDino();
    drawScore();
    switch (gameState) {
    case GAME_OVER:
        gameOver();
        aiGame();
        break;
    case GAME_AI:
        aiGame();
        break;
    case GAME_STARTED:
        // Days of play under a flood of keys would overflow the count.
        if (score.time < INT32_MAX) {
            ++score.time;
        }
        break;
    default:
        break;
    }
    paint();
}

// Puts the frame on the screen, touching only the rows whose spans differ
// from the last frame's. Curses compares only what was touched, so a frame
// costs what moved rather than the screen's area.
void Dunehopper::paint()
{
    Span const last = drawing.empty() ? Span{} : drawing.back();
    if (paintAll) {  // the screen may hold anything: blanks, then everything on them
        clear();
        shown.clear();
        paintAll = false;
    }
    // Cells are never changed in place (the score's are made anew elsewhere),
    // so the same cells at the same place are the same picture.
    auto const same = [](Span const& a, Span const& b) {
        return a.column == b.column && a.length == b.length && a.cells == b.cells;
    };
    std::ranges::sort(drawing, {}, [](Span const& span) { return std::pair{span.row, span.order}; });
    auto before = shown.cbegin();
    auto now = drawing.cbegin();
    while (before != shown.cend() || now != drawing.cend()) {
        int const row =
            std::min(before != shown.cend() ? before->row : INT_MAX, now != drawing.cend() ? now->row : INT_MAX);
        auto const nextRow = [row](Span const& span) { return span.row != row; };
        auto const beforeEnd = std::find_if(before, shown.cend(), nextRow);
        auto const nowEnd = std::find_if(now, drawing.cend(), nextRow);
        if (!std::equal(before, beforeEnd, now, nowEnd, same)) {
            repaintRow(row, {before, beforeEnd}, {now, nowEnd});
        }
        before = beforeEnd;
        now = nowEnd;
    }
    shown.swap(drawing);
    if (!is_leaveok(stdscr)) {  // a cursor that cannot be hidden rests after the last print
        wmove(stdscr, last.row, std::min(last.column + last.length, getmaxx(stdscr) - 1));
    }
}

// Between two edges of the row's spans each frame shows the cells of one
// span, the last drawn there, or blanks. Only the stretches that show other
// cells than before go to curses.
void Dunehopper::repaintRow(int row, std::span<Span const> before, std::span<Span const> now)
{
    cuts.clear();
    for (auto const& spans : {before, now}) {
        for (Span const& span : spans) {
            cuts.push_back(span.column);
            cuts.push_back(span.column + span.length);
        }
    }
    std::ranges::sort(cuts);
    auto const shownAt = [](std::span<Span const> spans, int column) -> cchar_t const* {
        for (std::size_t i = spans.size(); i-- > 0;) {  // the last drawn is on top
            if (column >= spans[i].column && column < spans[i].column + spans[i].length) {
                return spans[i].cells + (column - spans[i].column);
            }
        }
        return nullptr;  // blanks
    };
    for (std::size_t i = 1; i < cuts.size(); ++i) {
        int const from = cuts[i - 1];
        int const length = cuts[i] - from;
        cchar_t const* const cells = shownAt(now, from);
        if (length == 0 || cells == shownAt(before, from)) {
            continue;
        }
        if (cells == nullptr) {
            mvwhline_set(stdscr, row, from, &emptyLine, length);
        } else {
            mvwadd_wchnstr(stdscr, row, from, cells, length);
        }
    }
}

// Blanks every cell, for a frame that cannot trust the screen to hold the last.
void Dunehopper::clear()
{
    for (int row = 0; row < getmaxy(stdscr); ++row) {
        mvwhline_set(stdscr, row, 0, &emptyLine, getmaxx(stdscr));
    }
}

// Adds a print to the frame as curses would lay it out: nothing of one that
// starts off the screen, the rest of one that runs past the right edge on
// the next row, and nothing past the last cell. The ground, a row of cells
// rather than a print, stops at the edge instead.
void Dunehopper::show(int row, int column, std::span<cchar_t const> cells, bool wraps)
{
    int const rows = getmaxy(stdscr);
    int const cols = getmaxx(stdscr);
    if (row < 0 || column < 0 || column >= cols) {
        return;
    }
    while (!cells.empty() && row < rows) {
        int const piece = std::min(static_cast<int>(cells.size()), cols - column);
        drawing.push_back({row, column, piece, cells.data(), static_cast<int>(drawing.size())});
        if (!wraps) {
            return;
        }
        cells = cells.subspan(static_cast<std::size_t>(piece));
        ++row;
        column = 0;
    }
}

// Leaves a gap where the standing dino's legs are, so they read as feet on
// the ground rather than as more ground. Each column has a cell of its own,
// so that a jump repaints only the gap.
void Dunehopper::drawTerrain()
{
    int const cols = winSize.x;
    int const gapFrom = isJump ? cols : std::min(kGapFirst, cols);
    int const gapTo = isJump ? cols : kGapLast + 1;
    for (auto const& [from, to] : {std::pair{0, gapFrom}, {gapTo, cols}}) {
        if (from < to) {
            show(winSize.y - 1, from, std::span(ground).subspan(from, to - from), false);
        }
    }
}

void Dunehopper::drawBush()
{
    int const cols = winSize.x;
    if (cols < 1) {
        return;
    }
    bushPos -= kBushStep;
    if (bushPos < kBushGone) {
        // Seeding with the five-valued timer keeps the set of spawn columns small.
        std::srand(static_cast<unsigned>(timer));
        bushPos = cols + (std::rand() % cols);
    }
    if (bushPos < cols - 4) {
        int const rows = winSize.y;
        show(rows - 5, bushPos, texts[kBushTop]);
        show(rows - 4, bushPos, texts[kBushBranches]);
        show(rows - 3, bushPos + 1, texts[kBushTrunk]);
        show(rows - 2, bushPos + 1, texts[kBushTrunk]);
    }
    if (within(bushPos, kCollideFirst, kCollideLast) && !isJump) {
        gameState = GAME_OVER;
    }
}

void Dunehopper::drawDino()
{
    int top = winSize.y - 12;
    if (isJump) {
        top = winSize.y - 16;
        --jumpTimer;
        if (jumpTimer <= 0) {
            isJump = false;
        }
    }
    for (int i = 0; i < kDinoRows; ++i) {
        show(top + 1 + i, kDinoColumn, texts[kDinoTop + i]);
    }
    if (isJump) {
        show(top + 10, kDinoColumn, texts[kLegsA]);
        return;
    }
    show(top + 10, kDinoColumn, texts[kDinoBody]);
    show(top + 11, kDinoColumn, texts[timer > 0 ? kLegsA : kLegsB]);
}

// The score is the one text formatted each frame; it is made into cells only
// when it changed, and then not over the last frame's, which the screen's
// record of that frame still points at.
void Dunehopper::drawScore()
{
    std::array<char, kScoreMost> formatted{};
    int const length = std::snprintf(formatted.data(), formatted.size(), kScoreFormat, score.passed, score.time);
    int const used = std::clamp(length, 0, static_cast<int>(formatted.size()) - 1);
    std::string_view const text{formatted.data(), static_cast<std::size_t>(used)};
    if (text != scoreText) {
        scoreText = text;
        scoreCells.swap(scoreShown);
        cellsOf(text, kMagenta, scoreCells);
    }
    show(5, 1, scoreCells);
    show(2, 1, texts[kGreeting]);
}

void Dunehopper::gameOver()
{
    show((winSize.y / 2) - 1, (winSize.x / 2) - 4, texts[kGameOver]);
}

void Dunehopper::aiGame()
{
    show(winSize.y / 2, (winSize.x / 2) - 10, texts[kPrompt]);
    if (within(bushPos, kDemoJumpFirst, kDemoJumpLast) && !isJump) {
        jump();
    }
}

// ---------------------------------------------------------------------------
// Entry

#ifndef DUNEHOPPER_NO_MAIN  // the frame tests bring their own

// Reads the whole stream without letting a read error (a directory at the
// path, an I/O error) escape as an exception, and leaves the stream's state
// saying only whether it was opened.
static std::string readAll(std::ifstream& in)
{
    std::string content;
    std::array<char, 4096> chunk{};
    while (in.read(chunk.data(), chunk.size()) || in.gcount() > 0) {
        content.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
    }
    if (in.is_open()) {
        in.clear();
    }
    return content;
}

// The sprites are UTF-8 block characters. Where the environment's character
// set is another (LANG unset or C, usual in containers and bare ssh sessions)
// curses would show them as garbage, so character handling alone switches to
// UTF-8; everything else keeps following the environment.
static void useUtf8Characters()
{
    if (std::string_view{nl_langinfo(CODESET)} != "UTF-8") {
        std::setlocale(LC_CTYPE, "C.UTF-8");
    }
}

static void ignoreBrokenPipe(int /*signal*/) {}

// The player interrupted the game: no banner and no reveal. Status 1 for
// Ctrl-C and SIGTERM, as curses programs have it. Ctrl-\ keeps its own
// course (status 131, a core dump where those are enabled), and so does a
// hang-up (status 129): whoever watches the process, a shell or a session
// manager, learns that the terminal went, not that the player gave up.
static int leaveAsSignalled(int signal)
{
    if (signal == SIGQUIT || signal == SIGHUP) {
        setDefaultAction(signal);
        std::raise(signal);
    }
    return EXIT_FAILURE;
}

// A reader that leaves early (`dunehopper | head`) would otherwise kill the
// program with SIGPIPE; with a handler that does nothing the write fails with
// EPIPE instead and the program finishes normally. A handler rather than
// SIG_IGN because exec resets handlers but passes "ignored" on: the reveal
// pipeline's tools start with SIGPIPE as the program itself found it. Found
// ignored already, it is left so.
static void surviveBrokenPipe()
{
    handleIfDefault(SIGPIPE, ignoreBrokenPipe);
}

int main()
{
    std::setlocale(LC_ALL, "");
    useUtf8Characters();
    surviveBrokenPipe();

    std::ifstream ifs(std::string{kKeyPath});
    std::string const content = readAll(ifs);
    if (ifs.fail()) {  // the key is not here: the player has to earn the message
        auto const termo = std::make_unique<Dunehopper>();
        termo->start();
    }
    if (endingSignal != 0) {  // the terminal is already restored
        return leaveAsSignalled(endingSignal);
    }

    std::cout << testShader;
    Test(content);
    ifs.close();
    return 0;
}
#endif
