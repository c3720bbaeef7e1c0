// The production bench: flash every bootloader that appears, once each, until
// a count is reached, the serial numbers run out, or Ctrl-C; boards in
// progress always finish. A USB bootloader appears on the bus; a board on a
// serial port appears when it answers there, and leaves when it stops
// answering. It runs all day: each board's thread is joined as soon as it
// is done, and nothing is kept of a board but its counts.
#include "cli/commands.h"
#include "cli/line.h"
#include "cli/tally.h"

#include <sysexits.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <deque>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace cli {

static const std::chrono::milliseconds USB_POLL_PERIOD(200);
// Each port is asked at most twice a second.
static const std::chrono::milliseconds PORT_POLL_PERIOD(500);

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
    Bench(const Options &options, const Firmware &firmware, const Plan &plan, const Line &line,
          const std::vector<efm8_device> &ports, Tally &tally)
        : options_(options), job_(flash_job(options, firmware, plan, nullptr)), ports_(ports),
          period_(ports.empty() ? USB_POLL_PERIOD : PORT_POLL_PERIOD), tally_(tally)
    {
        job_.port = port_settings(options);
        job_.line = &line;
    }

    // Looks for boards once a period, whatever wakes it in between.
    int run()
    {
        auto next_look = std::chrono::steady_clock::now();
        while (!done()) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= next_look) {
                next_look = now + period_;
                if (taking_boards())
                    take_new_boards();
            }
            std::unique_lock<std::mutex> guard(lock_);
            print_finished();
            changed_.wait_until(guard, next_look);
            print_finished();
            tally_.redraw(running_);
            guard.unlock();
            join_finished();
        }
        join_finished();
        tally_.close();
        print_summary();
        return first_failure_;
    }

private:
    bool taking_boards() const
    {
        return !stop_requested && !line_stopped_ && (options_.count == 0 || started_ < options_.count);
    }

    bool done()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return !taking_boards() && running_ == 0 && finished_.empty();
    }

    // Boards that left are forgotten, so that one coming back counts again;
    // a board being flashed (or waited for, to try again) is not.
    void take_new_boards()
    {
        const std::vector<efm8_device> boards = ports_.empty() ? attached_boards() : answering_ports();
        std::set<std::string> present;
        for (const efm8_device &board : boards)
            present.insert(board.path);
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = known_.begin(); it != known_.end();) {
            if (present.count(*it) || in_progress_.count(*it)) {
                ++it;
                continue;
            }
            tally_.note(*it + ": the board left");
            it = known_.erase(it);
        }
        for (const efm8_device &board : boards)
            if (!known_.count(board.path) && taking_boards())
                start(board);
    }

    // Callers hold lock_.
    void start(const efm8_device &board)
    {
        known_.insert(board.path);
        in_progress_.insert(board.path);
        ++started_;
        ++running_;
        const std::uint64_t id = next_thread_++;
        threads_.emplace(id, std::thread([this, board, id] {
            Outcome outcome = attempt_on_board(board, 0, job_);
            std::lock_guard<std::mutex> guard(lock_);
            in_progress_.erase(board.path);
            finished_.push_back(std::move(outcome));
            ended_.push_back(id);
            --running_;
            changed_.notify_all();
        }));
    }

    // The threads that said they are done have only their return left.
    void join_finished()
    {
        std::vector<std::uint64_t> ended;
        {
            std::lock_guard<std::mutex> guard(lock_);
            ended.swap(ended_);
        }
        for (std::uint64_t id : ended) {
            auto thread = threads_.find(id);
            thread->second.join();
            threads_.erase(thread);
        }
    }

    // The ports where a board answers now, all asked at once. A port being
    // flashed is not asked: its board is still there.
    std::vector<efm8_device> answering_ports()
    {
        std::set<std::string> flashing;
        {
            std::lock_guard<std::mutex> guard(lock_);
            flashing = in_progress_;
        }
        std::vector<std::future<int32_t>> answers;
        for (const efm8_device &port : ports_)
            answers.push_back(std::async(std::launch::async, [&flashing, &port, this] {
                return flashing.count(port.path) ? EFM8_OK : ping_port(port, job_.port);
            }));
        std::vector<efm8_device> answering;
        for (std::size_t i = 0; i < ports_.size(); ++i) {
            const int32_t result = answers[i].get();
            note_port(ports_[i], result);
            if (result == EFM8_OK)
                answering.push_back(ports_[i]);
        }
        return answering;
    }

    // Says once, until it changes, why a port cannot even be opened: no
    // such port, no permission, another program has it. Silence or a
    // stray byte only means no bootloader listens there now.
    void note_port(const efm8_device &port, int32_t result)
    {
        int32_t &last = port_results_[port.path];
        const bool unopened = result != EFM8_OK && result != EFM8_ERR_TRANSFER && result != EFM8_ERR_REFUSED;
        if (unopened && result != last) {
            efm8_report report{};
            report.result = result;
            report.interface = EFM8_UART;
            tally_.note("kestrane-cli: " + std::string(port.path) + ": " + explain(report) + " (still watching)");
        }
        last = result;
    }

    // Callers hold lock_. A counter with no number left stops the line: no
    // board after it would get one.
    void print_finished()
    {
        while (!finished_.empty()) {
            const Outcome outcome = std::move(finished_.front());
            finished_.pop_front();
            tally_.count(outcome);
            if (outcome.exit_code != 0) {
                first_failure_ = first_failure_ != 0 ? first_failure_ : outcome.exit_code;
                tally_.note("kestrane-cli: " + std::string(outcome.device.path) + ": " + outcome.message);
            }
            line_stopped_ = line_stopped_ || outcome.exit_code == EX_CONFIG;
            const std::string time = now_text();
            if (options_.json)
                tally_.print(outcome_json(outcome, Command::Watch, time));
            else
                tally_.print(time + "  " + outcome_text(outcome, Command::Watch) + "  " + tally_.tally_text());
        }
    }

    void print_summary()
    {
        if (!options_.json) {
            std::cout << tally_.summary_text() << std::endl;
            return;
        }
        std::fprintf(stderr, "%s\n", tally_.summary_text().c_str());
        std::cout << tally_.summary_json(first_failure_) << std::endl;
    }

    const Options &options_;
    Job job_;
    const std::vector<efm8_device> ports_;  // with --port: the ports to ask
    const std::chrono::milliseconds period_;
    Tally &tally_;
    std::map<std::string, int32_t> port_results_;  // how each port's last question went
    std::mutex lock_;
    std::condition_variable changed_;
    std::set<std::string> known_;        // attached boards already taken, in progress or done
    std::set<std::string> in_progress_;  // those being flashed
    std::map<std::uint64_t, std::thread> threads_;  // those still running, by id
    std::vector<std::uint64_t> ended_;              // ids of those that are done, to be joined
    std::uint64_t next_thread_ = 0;
    std::deque<Outcome> finished_;  // not yet printed
    long started_ = 0, running_ = 0;
    bool line_stopped_ = false;
    int first_failure_ = 0;
};

}  // namespace

int watch(const Options &options)
{
    Tally tally(isatty(STDERR_FILENO) != 0);
    const auto say = [&tally](const std::string &message) { tally.note("kestrane-cli: " + message); };
    Firmware firmware;
    Plan plan;
    Record record(say);
    std::string error;
    const int status = prepare_line(options, firmware, plan, record, error);
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
    std::vector<efm8_device> ports;
    if (!options.ports.empty()) {
        choose_boards(options, ports, error);
        std::fprintf(stderr, "watching %zu serial port%s for EFM8 bootloaders; Ctrl-C stops\n", ports.size(),
                     ports.size() == 1 ? "" : "s");
    } else {
        std::fprintf(stderr, "watching for EFM8 bootloaders; Ctrl-C stops\n");
    }
    const Line line = line_for(options, record, say);
    Bench bench(options, firmware, plan, line, ports, tally);
    return bench.run();
}

}  // namespace cli
