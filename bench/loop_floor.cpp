// The least a loop paced like the game's can cost: the same curses set-up,
// a key read with the same 60 ms time-out, and on every pass the blank
// rewrite of every cell and a refresh, but nothing drawn. Whatever this
// costs, the game costs too; the bench runs it beside the game.
// With the argument "idle" it only reads keys.
#include <curses.h>

#include <clocale>
#include <csignal>
#include <string_view>

namespace {
void ignoreSuspend(int /*signal*/) {}
}  // namespace

int main(int argc, char** argv)
{
    bool const rewrite = argc < 2 || std::string_view(argv[1]) != "idle";
    std::setlocale(LC_ALL, "");
    // As the game does: SIGTSTP handled by the program, so that curses does
    // not guard every refresh against it, and no typeahead polls.
    std::signal(SIGTSTP, ignoreSuspend);
    initscr();
    typeahead(-1);
    start_color();
    noecho();
    cbreak();
    curs_set(0);
    keypad(stdscr, TRUE);
    wtimeout(stdscr, 60);
    cchar_t blank{};
    setcchar(&blank, L" ", A_NORMAL, 0, nullptr);
    while (wgetch(stdscr) != ']') {
        if (rewrite) {
            for (int row = 0; row < getmaxy(stdscr); ++row) {
                mvwhline_set(stdscr, row, 0, &blank, getmaxx(stdscr));
            }
            refresh();
        }
    }
    endwin();
    return 0;
}
