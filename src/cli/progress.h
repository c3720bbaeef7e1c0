// Progress on standard error. On a terminal, one line per board that
// updates in place (bar, percent, bytes, phase); otherwise no carriage
// returns and no bars: one line per board when it finishes. Boards report
// from their own threads.
#ifndef KESTRANE_CLI_PROGRESS_H
#define KESTRANE_CLI_PROGRESS_H

#include <kestrane/engine.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace production {
struct Outcome;
}

namespace cli {

class Progress {
public:
    enum class Style { Live, Lines, Silent };

    // Live when standard error is a terminal, Lines otherwise, Silent for
    // --quiet.
    static Style style_for(bool quiet);

    Progress(Style style, const std::vector<efm8_device> &boards);

    // For the engine's progress callback: user is what progress_user()
    // returns for the board.
    static void report(void *user, efm8_phase phase, uint32_t done, uint32_t total);
    void *progress_user(std::size_t board);

    void finish(std::size_t board, const production::Outcome &outcome);

private:
    struct Board {
        Progress *progress;
        std::size_t index;
        std::string path;
        int percent = -1;
        efm8_phase phase = EFM8_PHASE_COMPARE;
    };

    void update(Board &board, efm8_phase phase, uint32_t done, uint32_t total);
    void draw(const Board &board, const std::string &text);

    Style style_;
    std::vector<Board> boards_;
    std::mutex lock_;
};

}  // namespace cli

#endif
