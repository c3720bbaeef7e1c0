// The production bench: flash every bootloader that appears, once each, until
// a count is reached or Ctrl-C; boards in progress always finish. A USB
// bootloader appears on the bus; a board on a serial port appears when it
// answers there, and leaves when it stops answering.
#include "cli/commands.h"

#include <algorithm>
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
// Each port is asked at most twice a second; a bootloader answers within
// milliseconds, so a short time-out keeps a round of questions short.
static const std::chrono::milliseconds PORT_POLL_PERIOD(500);
static const uint32_t PING_TIMEOUT_MS = 250;

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

// Whether a bootloader answers on the port now: opened, trained and asked
// one identify. EFM8_OK, or why not.
static int32_t ping_port(const efm8_device &port, efm8_port_settings settings)
{
    settings.timeout_ms = std::min(settings.timeout_ms, PING_TIMEOUT_MS);
    efm8_session *session = nullptr;
    int32_t result = efm8_open_port(port.path, &settings, &session);
    if (result == EFM8_OK)
        result = efm8_ping(session, nullptr);
    efm8_close(session);
    return result;
}

namespace {

class Bench {
public:
    Bench(const Options &options, const Firmware &firmware, const Plan &plan, const std::vector<efm8_device> &ports)
        : options_(options), job_(flash_job(options, firmware, plan, nullptr)), ports_(ports),
          period_(ports.empty() ? USB_POLL_PERIOD : PORT_POLL_PERIOD)
    {
        job_.port = port_settings(options);
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
        const std::vector<efm8_device> boards = ports_.empty() ? attached_boards() : answering_ports();
        std::set<std::string> present;
        for (const efm8_device &board : boards)
            present.insert(board.path);
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = known_.begin(); it != known_.end();) {
            if (present.count(*it)) {
                ++it;
                continue;
            }
            std::fprintf(stderr, "%s: the board left\n", it->c_str());
            it = known_.erase(it);
        }
        for (const efm8_device &board : boards) {
            if (known_.count(board.path) || !taking_boards())
                continue;
            known_.insert(board.path);
            in_progress_.insert(board.path);
            ++started_;
            ++running_;
            threads_.emplace_back([this, board] {
                Outcome outcome = run_on_board(board, 0, job_);
                std::lock_guard<std::mutex> guard(lock_);
                in_progress_.erase(board.path);
                finished_.push_back(std::move(outcome));
                --running_;
                changed_.notify_all();
            });
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
            complain(std::string(port.path) + ": " + explain(report) + " (still watching)");
        }
        last = result;
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
            std::cout << time << "  " << outcome_text(outcome, Command::Watch) << tally << std::endl;
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
    Job job_;
    const std::vector<efm8_device> ports_;  // with --port: the ports to ask
    const std::chrono::milliseconds period_;
    std::map<std::string, int32_t> port_results_;  // how each port's last question went
    std::mutex lock_;
    std::condition_variable changed_;
    std::set<std::string> known_;        // attached boards already taken, in progress or done
    std::set<std::string> in_progress_;  // those being flashed
    std::vector<std::thread> threads_;
    std::deque<Outcome> finished_;  // not yet printed
    long started_ = 0, running_ = 0, ok_ = 0, failed_ = 0;
    int first_failure_ = 0;
};

}  // namespace

int watch(const Options &options)
{
    Firmware firmware;
    Plan plan;
    std::string error;
    int status = load_firmware(options.file, firmware, error);
    if (status == 0)
        status = plan_flash(options, firmware, plan, error);
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
    Bench bench(options, firmware, plan, ports);
    return bench.run();
}

}  // namespace cli
