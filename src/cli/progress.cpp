#include "cli/progress.h"

#include "production/boards.h"
#include "station/database.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace cli {

static const int BAR_WIDTH = 24;
static const std::size_t DEFAULT_WIDTH = 80;

static const char *phase_name(efm8_phase phase)
{
    switch (phase) {
    case EFM8_PHASE_COMPARE: return "comparing";
    case EFM8_PHASE_WRITE: return "writing";
    default: return "verifying";
    }
}

static std::size_t terminal_width()
{
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return DEFAULT_WIDTH;
}

Progress::Style Progress::style_for(bool quiet)
{
    if (quiet)
        return Style::Silent;
    return isatty(STDERR_FILENO) ? Style::Live : Style::Lines;
}

Progress::Progress(Style style, const std::vector<efm8_device> &boards) : style_(style)
{
    for (std::size_t i = 0; i < boards.size(); ++i)
        boards_.push_back(Board{this, i, station::escaped(boards[i].path)});
    if (style_ != Style::Live)
        return;
    // A line of its own for each board, redrawn in place from here on.
    for (const Board &board : boards_)
        std::fprintf(stderr, "%s  starting\n", board.path.c_str());
    std::fflush(stderr);
}

void *Progress::progress_user(std::size_t board)
{
    return &boards_[board];
}

void Progress::report(void *user, efm8_phase phase, uint32_t done, uint32_t total)
{
    Board &board = *static_cast<Board *>(user);
    board.progress->update(board, phase, done, total);
}

void Progress::update(Board &board, efm8_phase phase, uint32_t done, uint32_t total)
{
    if (style_ != Style::Live)
        return;
    const int percent = total > 0 ? static_cast<int>(100.0 * done / total) : 100;
    std::lock_guard<std::mutex> guard(lock_);
    if (percent == board.percent && phase == board.phase)
        return;
    board.percent = percent;
    board.phase = phase;
    const int filled = percent * BAR_WIDTH / 100;
    char text[256];
    std::snprintf(text, sizeof text, "%s  [%s%s] %3d%%  %u/%u bytes  %s", board.path.c_str(),
                  std::string(static_cast<std::size_t>(filled), '#').c_str(),
                  std::string(static_cast<std::size_t>(BAR_WIDTH - filled), '-').c_str(), percent, done, total,
                  phase_name(phase));
    draw(board, text);
}

// Rewrites the board's line: up to it, clear it, write, and back down.
void Progress::draw(const Board &board, const std::string &text)
{
    const std::size_t up = boards_.size() - board.index;
    const std::string fitted = text.substr(0, terminal_width() - 1);
    std::fprintf(stderr, "\x1b[%zuA\r\x1b[2K%s\x1b[%zuB\r", up, fitted.c_str(), up);
    std::fflush(stderr);
}

void Progress::finish(std::size_t index, const production::Outcome &outcome)
{
    if (style_ == Style::Silent)
        return;
    char text[256];
    if (outcome.ok())
        std::snprintf(text, sizeof text, "%s  done in %.2f s", boards_[index].path.c_str(), outcome.seconds);
    else
        std::snprintf(text, sizeof text, "%s  failed after %.2f s", boards_[index].path.c_str(), outcome.seconds);
    std::lock_guard<std::mutex> guard(lock_);
    if (style_ == Style::Live) {
        draw(boards_[index], text);
    } else {
        std::fprintf(stderr, "%s\n", text);
        std::fflush(stderr);
    }
}

}  // namespace cli
