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

// A text of block glyphs in both forms curses can take it in: the UTF-8 it is
// written in, and the wide characters that UTF-8 stands for, decoded here at
// compile time so that no frame has to decode it again.
struct Blocks {
    static constexpr std::size_t kCapacity = 32;
    std::string_view utf8;
    std::array<wchar_t, kCapacity> wide{};
    std::size_t columns = 0;  // wide characters, one screen column each
    bool valid = true;        // well-formed UTF-8 that fits
};

// How many bytes follow a UTF-8 lead byte; 4 for a byte that cannot lead.
constexpr std::size_t continuationBytes(unsigned char lead)
{
    if (lead < 0x80U) {
        return 0;
    }
    if (lead >= 0xF0U) {
        return 3;
    }
    if (lead >= 0xE0U) {
        return 2;
    }
    return lead >= 0xC0U ? 1 : 4;
}

constexpr Blocks blocks(std::string_view utf8)
{
    Blocks text{utf8};
    std::size_t at = 0;
    while (text.valid && at < utf8.size()) {
        auto const lead = static_cast<unsigned char>(utf8[at]);
        std::size_t const more = continuationBytes(lead);
        text.valid = more < 4 && at + more < utf8.size() && text.columns < Blocks::kCapacity;
        auto code = static_cast<std::uint32_t>(lead & (0x7FU >> more));
        for (std::size_t i = 1; text.valid && i <= more; ++i) {
            auto const next = static_cast<unsigned char>(utf8[at + i]);
            text.valid = (next & 0xC0U) == 0x80U;
            code = (code << 6U) | (next & 0x3FU);
        }
        if (text.valid) {
            text.wide.at(text.columns++) = static_cast<wchar_t>(code);
        }
        at += more + 1;
    }
    return text;
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

// Sprites. Rows are printed at the dino's column, trailing blanks included:
// the blanks are what wipe the bush where the dino stands in front of it.
// clang-format off
constexpr std::array<Blocks, 9> kDinoRows = {
    blocks("               "),
    blocks("   █████         "),
    blocks("  ██   ██            "),
    blocks(" █▛          ▄      ▄   "),
    blocks("▟█▙        ▄███▄▄▄▄███▄ "),
    blocks("██████████████▀█████▀██▙▁"),
    blocks(" ████████████████▀█████▀▔"),
    blocks("  ██████████████▄█▄███▛ "),
    blocks("   ██████████████████ "),
};
// clang-format on
static_assert(kDinoRows[0].columns == 15 && kDinoRows[1].columns == 17 && kDinoRows[2].columns == 21);
static_assert(kDinoRows[3].columns == 24 && kDinoRows[4].columns == 24 && kDinoRows[5].columns == 25);
static_assert(kDinoRows[6].columns == 25 && kDinoRows[7].columns == 24 && kDinoRows[8].columns == 22);
static_assert(std::ranges::all_of(kDinoRows, [](Blocks const& row) { return row.valid; }));
constexpr Blocks kDinoBody = kDinoRows[8];
constexpr Blocks kLegsA = blocks("      █████   █████   ");
constexpr Blocks kLegsB = blocks("    █████   █████     ");
static_assert(kLegsA.valid && kLegsA.columns == 22 && kLegsB.valid && kLegsB.columns == 22);

constexpr Blocks kBushTop = blocks("▄█ █▄");
constexpr Blocks kBushBranches = blocks("██ ██");
constexpr Blocks kBushTrunk = blocks("███");
static_assert(kBushTop.valid && kBushBranches.valid && kBushTrunk.valid);
static_assert(kBushTop.columns == 5 && kBushBranches.columns == 5 && kBushTrunk.columns == 3);
constexpr Blocks kGround = blocks("█");
static_assert(kGround.valid && kGround.columns == 1 && kGround.wide[0] == L'\u2588');

constexpr const char* kScoreFormat = "Score: %04d x %08d";
constexpr std::string_view kGreeting = "WelCome to Tavrel!";
constexpr std::string_view kGameOver = "GAME OVER";
constexpr std::string_view kPrompt = "Press SPACE to start";

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

enum ColourPair : short { kRed = 1, kGreen = 2, kBlue = 3, kCyan = 4, kMagenta = 5 };

bool within(std::int32_t value, std::int32_t first, std::int32_t last)
{
    return value >= first && value <= last;
}

bool characterSetIsUtf8()
{
    return std::string_view{nl_langinfo(CODESET)} == "UTF-8";
}

void print(int row, int column, std::string_view text)
{
    mvwaddnstr(stdscr, row, column, text.data(), static_cast<int>(text.size()));
}

bool drawsWide()
{
    // The locale is settled before the game starts; no frame asks again.
    static bool const utf8 = characterSetIsUtf8();
    return utf8;
}

// In a UTF-8 locale curses would decode the bytes into exactly these wide
// characters, three bytes per cell, on every frame; elsewhere the bytes go
// to curses as they are, for it to make of them what that locale says.
void print(int row, int column, Blocks const& text)
{
    if (drawsWide()) {
        mvwaddnwstr(stdscr, row, column, text.wide.data(), static_cast<int>(text.columns));
    } else {
        print(row, column, text.utf8);
    }
}

// The same cells as printing a one-column glyph at every column from `from`
// up to `to`, but curses is handed one finished cell to repeat rather than
// a print per column.
void fill(int row, int from, int to, Blocks const& glyph)
{
    if (!drawsWide()) {
        for (int column = from; column < to; ++column) {
            print(row, column, glyph);
        }
        return;
    }
    if (from < to) {
        cchar_t cell{};
        setcchar(&cell, glyph.wide.data(), A_NORMAL, 0, nullptr);
        mvwhline_set(stdscr, row, from, &cell, to - from);
    }
}

void colourOn(ColourPair pair)
{
    wattr_on(stdscr, static_cast<attr_t>(COLOR_PAIR(pair)), nullptr);
}

void colourOff(ColourPair pair)
{
    wattr_off(stdscr, static_cast<attr_t>(COLOR_PAIR(pair)), nullptr);
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
    curs_set(0);
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
    // Every refresh runs to its end instead of polling for typeahead on the
    // way: a frame is due every pass anyway, and the polls were two system
    // calls a frame.
    typeahead(-1);
    setcchar(&emptyLine, L" ", A_NORMAL, 0, nullptr);
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
    clear();
    colourOn(kGreen);
    drawTerrain();
    drawBush();
    colourOff(kGreen);
    colourOn(kBlue);
    drawDino();
    drawScore();  // its magenta replaces the blue, and leaves no pair on
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
}

// Rewrites every cell with blanks rather than erasing the screen. Curses
// repeats one finished blank cell across each row: printing a row of spaces
// as text costs a format and a multibyte decode per cell, and copying a row
// of cells a width check per cell, most of a frame on a big screen, for the
// same blanks (no attributes, no colour pair, as the frame leaves them).
void Dunehopper::clear()
{
    if (winSize.x < 1) {
        return;
    }
    for (int row = 0; row < winSize.y; ++row) {
        mvwhline_set(stdscr, row, 0, &emptyLine, winSize.x);
    }
}

// Leaves a gap where the standing dino's legs are, so they read as feet on
// the ground rather than as more ground.
void Dunehopper::drawTerrain()
{
    int const ground = winSize.y - 1;
    if (isJump) {
        fill(ground, 0, winSize.x, kGround);
    } else {
        fill(ground, 0, std::min(kGapFirst, winSize.x), kGround);
        fill(ground, kGapLast + 1, winSize.x, kGround);
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
        print(rows - 5, bushPos, kBushTop);
        print(rows - 4, bushPos, kBushBranches);
        print(rows - 3, bushPos + 1, kBushTrunk);
        print(rows - 2, bushPos + 1, kBushTrunk);
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
    for (std::size_t i = 0; i < kDinoRows.size(); ++i) {
        print(top + 1 + static_cast<int>(i), kDinoColumn, kDinoRows.at(i));
    }
    if (isJump) {
        print(top + 10, kDinoColumn, kLegsA);
        return;
    }
    print(top + 10, kDinoColumn, kDinoBody);
    print(top + 11, kDinoColumn, timer > 0 ? kLegsA : kLegsB);
}

void Dunehopper::drawScore()
{
    colourOn(kMagenta);
    mvprintw(5, 1, kScoreFormat, score.passed, score.time);
    print(2, 1, kGreeting);
    colourOff(kMagenta);
}

void Dunehopper::gameOver()
{
    print((winSize.y / 2) - 1, (winSize.x / 2) - 4, kGameOver);
}

void Dunehopper::aiGame()
{
    print(winSize.y / 2, (winSize.x / 2) - 10, kPrompt);
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
    if (!characterSetIsUtf8()) {
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
