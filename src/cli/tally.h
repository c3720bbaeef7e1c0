// The bench's figures as boards finish: passed, failed, yield, first-pass
// yield, boards per hour since the bench started, and the serial numbers
// given. They count attempts, as the station record does: a board left
// untouched (not opened, or no number left for it) is counted apart, and
// one that stopped the line says why. On a terminal a live line at the foot of standard error says them
// as they change, and every other line goes out above it; elsewhere there
// is no live line. Lines may come from any thread.
#ifndef KESTRANE_CLI_TALLY_H
#define KESTRANE_CLI_TALLY_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace production {
struct Outcome;
}

namespace cli {

class Tally {
public:
    explicit Tally(bool live);

    void count(const production::Outcome &outcome);

    // A line to standard output (a board's result) or to standard error (a
    // note), above the live line.
    void print(const std::string &line);
    void note(const std::string &line);
    // The live line as things stand, running boards in progress.
    void redraw(long running);
    // Whether the record's server is away, which the live line says.
    void server_away(bool away);
    // Why the line stopped, unless a board already said why.
    void stopped(const std::string &why);
    // Clears the live line for good.
    void close();

    std::string tally_text();    // "[3 ok, 1 failed]"
    std::string summary_text();  // "4 boards: 3 ok, 1 failed; yield 75.0%, ...; 1 board untouched; ..."
    std::string summary_json(int exit_code);

private:
    double hours() const;
    double boards_per_hour() const;
    void clear();  // callers hold lock_
    void draw();

    const bool live_;
    const std::chrono::steady_clock::time_point started_;
    std::mutex lock_;
    std::string live_text_;  // as last drawn; empty: none shown
    long passed_ = 0, failed_ = 0, first_pass_ = 0, running_ = 0, untouched_ = 0;
    std::string stopped_;  // why the line stopped, if a board stopped it
    bool server_away_ = false;
    std::optional<std::uint64_t> lowest_serial_, highest_serial_;
};

}  // namespace cli

#endif
