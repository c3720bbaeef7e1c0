// The production bench (bench.h): a look for boards once a period, a thread
// for each new one, and each thread joined as soon as it is done.
#include "production/watcher.h"

#include "production/explain.h"
#include "production/line.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace production {

// The bench asks each port at most twice a second.
static const std::chrono::milliseconds PORT_POLL_PERIOD(500);

namespace {

class Bench {
public:
    Bench(const Job &job, const std::vector<efm8_device> &ports, long count, const WatchEvents &events)
        : job_(job), ports_(ports), count_(count), period_(ports.empty() ? POLL_PERIOD : PORT_POLL_PERIOD),
          events_(events)
    {
    }

    // Looks for boards once a period, whatever wakes it in between.
    int32_t run()
    {
        auto next_look = std::chrono::steady_clock::now();
        const bool on_trigger = static_cast<bool>(events_.triggered);
        while (!done()) {
            const auto now = std::chrono::steady_clock::now();
            if (on_trigger && taking_boards()) {
                take_triggered_boards();  // waits for the trigger a poll period at most
            } else if (now >= next_look) {
                next_look = now + period_;
                if (taking_boards())
                    take_new_boards(record_ready());
            }
            std::unique_lock<std::mutex> guard(lock_);
            report_finished();
            if (!on_trigger)
                changed_.wait_until(guard, next_look);
            else if (!taking_boards())
                changed_.wait_for(guard, POLL_PERIOD);
            report_finished();
            events_.idle(running_);
            guard.unlock();
            join_finished();
        }
        join_finished();
        return first_failure_;
    }

private:
    // No number is drawn without the record's server: while it is away the
    // boards wait where they are, and boards that leave are still seen to.
    bool record_ready()
    {
        std::string why;
        const bool ready = job_.line == nullptr || job_.line->record == nullptr || job_.line->record->ready(why);
        if (ready != !away_) {
            away_ = !ready;
            events_.away(why);
        }
        return ready;
    }

    bool taking_boards() const
    {
        return !events_.stopping() && !line_stopped_ && (count_ == 0 || started_ < count_);
    }

    bool done()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return !taking_boards() && running_ == 0 && finished_.empty();
    }

    // Boards that left are forgotten, so that one coming back counts again;
    // a board being flashed (or waited for, to try again) is not. New ones
    // are started when start_new says.
    void take_new_boards(bool start_new)
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
            events_.left(*it);
            it = known_.erase(it);
        }
        for (const efm8_device &board : boards)
            if (start_new && !known_.count(board.path) && taking_boards())
                start(board);
    }

    // Each port whose board is not in progress takes a new one.
    void take_triggered_boards()
    {
        const int32_t said = events_.triggered(POLL_PERIOD);
        std::lock_guard<std::mutex> guard(lock_);
        if (said < 0) {
            line_stopped_ = true;
            if (first_failure_ == EFM8_OK)
                first_failure_ = said;
            events_.warn("the trigger can no longer be read: no new board is taken");
            return;
        }
        if (said == 0)
            return;
        bool taken = false;
        for (const efm8_device &port : ports_)
            if (!in_progress_.count(port.path) && taking_boards()) {
                start(port);
                taken = true;
            }
        if (!taken)
            events_.warn("the board in the fixture is still in progress: that trigger takes no new one");
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
                return flashing.count(port.path) ? EFM8_OK : ping_port(port, job_.port, job_.entry);
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
            events_.warn(std::string(port.path) + ": " + explain(report) + " (still watching)");
        }
        last = result;
    }

    // Callers hold lock_. A counter with no number left stops the line: no
    // board after it would get one. A board left untouched is no attempt,
    // and takes nothing from the count.
    void report_finished()
    {
        while (!finished_.empty()) {
            const Outcome outcome = std::move(finished_.front());
            finished_.pop_front();
            // Untouched: taken again once the server is back.
            if (outcome.server_away) {
                known_.erase(outcome.device.path);
                --started_;
                if (!away_) {
                    away_ = true;
                    events_.away(outcome.message);
                }
                continue;
            }
            if (first_failure_ == EFM8_OK)
                first_failure_ = outcome.run_result();
            line_stopped_ = line_stopped_ || outcome.stops_line();
            if (!outcome.attempted())
                --started_;
            events_.finished(outcome);
        }
    }

    const Job job_;
    const std::vector<efm8_device> ports_;  // boards on serial ports: the ports to ask
    const long count_;
    const std::chrono::milliseconds period_;
    const WatchEvents &events_;
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
    bool away_ = false;  // the record's server, as last said
    int32_t first_failure_ = EFM8_OK;
};

}  // namespace

int32_t run_watch(const Job &job, const std::vector<efm8_device> &ports, long count, const WatchEvents &events)
{
    Bench bench(job, ports, count, events);
    return bench.run();
}

}  // namespace production
