// The production bench: flash every bootloader that appears, once each, until
// a count is reached or Ctrl-C; boards in progress always finish.
#include "cli/commands.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <deque>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

namespace cli {

static const std::chrono::milliseconds POLL_PERIOD(200);

static volatile std::sig_atomic_t stop_requested = 0;

static void request_stop(int)
{
    stop_requested = 1;
}

static std::string now_text()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

namespace {

class Bench {
public:
    Bench(const Options &options, const Firmware &firmware)
        : options_(options), job_(flash_job(options, firmware, nullptr))
    {
    }

    int run()
    {
        while (!done()) {
            if (taking_boards())
                take_new_boards();
            std::unique_lock<std::mutex> guard(lock_);
            print_finished();
            changed_.wait_for(guard, POLL_PERIOD);
            print_finished();
        }
        for (std::thread &thread : threads_)
            thread.join();
        print_summary();
        return first_failure_;
    }

private:
    bool taking_boards() const { return !stop_requested && (options_.count == 0 || started_ < options_.count); }

    bool done()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return !taking_boards() && running_ == 0 && finished_.empty();
    }

    // Boards that left are forgotten, so that one coming back counts again.
    void take_new_boards()
    {
        const std::vector<efm8_device> boards = attached_boards();
        std::set<std::string> present;
        for (const efm8_device &board : boards)
            present.insert(board.path);
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = known_.begin(); it != known_.end();)
            it = present.count(*it) ? std::next(it) : known_.erase(it);
        for (const efm8_device &board : boards) {
            if (known_.count(board.path) || !taking_boards())
                continue;
            known_.insert(board.path);
            ++started_;
            ++running_;
            threads_.emplace_back([this, board] {
                Outcome outcome = run_on_board(board, 0, job_);
                std::lock_guard<std::mutex> guard(lock_);
                finished_.push_back(std::move(outcome));
                --running_;
                changed_.notify_all();
            });
        }
    }

    // Callers hold lock_.
    void print_finished()
    {
        while (!finished_.empty()) {
            const Outcome outcome = std::move(finished_.front());
            finished_.pop_front();
            if (outcome.exit_code == 0) {
                ++ok_;
            } else {
                ++failed_;
                first_failure_ = first_failure_ != 0 ? first_failure_ : outcome.exit_code;
                complain(std::string(outcome.device.path) + ": " + outcome.message);
            }
            const std::string time = now_text();
            if (options_.json) {
                std::cout << outcome_json(outcome, Command::Watch, time) << std::endl;
                continue;
            }
            char tally[64];
            std::snprintf(tally, sizeof tally, "  [%ld ok, %ld failed]", ok_, failed_);
            std::cout << time << "  " << outcome_text(outcome, Command::Watch, options_) << tally << std::endl;
        }
    }

    void print_summary()
    {
        char summary[96];
        std::snprintf(summary, sizeof summary, "%ld board%s: %ld ok, %ld failed", ok_ + failed_,
                      ok_ + failed_ == 1 ? "" : "s", ok_, failed_);
        if (options_.json)
            std::fprintf(stderr, "%s\n", summary);
        else
            std::cout << summary << std::endl;
    }

    const Options &options_;
    const Job job_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::set<std::string> known_;  // attached boards already taken, in progress or done
    std::vector<std::thread> threads_;
    std::deque<Outcome> finished_;  // not yet printed
    long started_ = 0, running_ = 0, ok_ = 0, failed_ = 0;
    int first_failure_ = 0;
};

}  // namespace

int watch(const Options &options)
{
    Firmware firmware;
    std::string error;
    const int status = load_firmware(options.file, firmware, error);
    if (status != 0) {
        complain(error);
        return status;
    }
    // A first Ctrl-C lets the boards in progress finish; a second one is
    // the default again and ends the process.
    struct sigaction stop {};
    stop.sa_handler = request_stop;
    stop.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    std::fprintf(stderr, "watching for EFM8 bootloaders; Ctrl-C stops\n");
    Bench bench(options, firmware);
    return bench.run();
}

}  // namespace cli
