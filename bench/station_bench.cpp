// Draws and records per second: PROCESSES processes, each with a Station of
// its own, drawing DRAWS numbers each from one counter and completing each
// attempt, as many benches of a line do at once. With THREADS, each
// process's draws are shared by that many threads on its one Station, each
// board recorded as watch records it (one_board). Each process connects
// before the clock starts; the numbers are checked to be drawn once each.
// Target: the store never limits a line, at least 50 boards a second
// (TARGET: another; 0 for none, where the caller weighs the figures).
// Usage: station_bench DATABASE [PROCESSES] [DRAWS] [TARGET] [THREADS]
#include "station/station.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace station;

static const double TARGET_PER_SECOND = 50;

// What each board costs the record: with a number drawn as the attempt is
// begun; or, as watch's boards do, begun without one, the counter checked as
// last seen, the number drawn with the part once the board is identified.
static bool one_board(Station &station, const std::string &counter, bool as_watch, const std::string &where)
{
    AttemptStart start;
    start.path = where;
    start.image_name = "bench.hex";
    start.image_sha256 = "be";
    start.counter = as_watch ? "" : counter;
    AttemptEnd end;
    end.result = "ok";
    Attempt attempt;
    Counter seen;
    Result done = as_watch ? station.counter_as_seen(counter, seen) : Result{};
    if (done.ok())
        done = station.begin(start, attempt);
    if (done.ok() && as_watch)
        done = station.draw(attempt, counter, LARGEST_NUMBER, "EFM8BB31F64G-QFN32");
    if (done.ok())
        done = station.finish(attempt, end);
    if (!done.ok())
        std::fprintf(stderr, "%s: %s\n", where.c_str(), done.message.c_str());
    return done.ok();
}

// threads: 0 for one thread; otherwise that many threads sharing the
// process's Station and its connection, each a port of watch's.
static int draw(const std::string &database, const std::string &counter, int process, int draws, int threads, int go)
{
    Station station;
    station.name_station("bench-" + std::to_string(process));
    const Result opened = station.open(database);
    char byte;
    if (read(go, &byte, 1) != 1 || !opened.ok()) {
        std::fprintf(stderr, "process %d: %s\n", process, opened.message.c_str());
        return 1;
    }
    std::atomic<bool> ok{true};
    std::vector<std::thread> ports;
    for (int t = 0; t < std::max(threads, 1); ++t)
        ports.emplace_back([&, t] {
            const std::string where = "bench:" + std::to_string(process) + ":" + std::to_string(t);
            for (int i = t; i < draws && ok; i += std::max(threads, 1))
                ok = one_board(station, counter, threads > 0, where) && ok;
        });
    for (std::thread &port : ports)
        port.join();
    return ok ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: station_bench DATABASE [PROCESSES] [DRAWS] [TARGET] [THREADS]\n");
        return 64;
    }
    const std::string database = argv[1];
    const int processes = argc > 2 ? std::atoi(argv[2]) : 4, draws = argc > 3 ? std::atoi(argv[3]) : 250;
    const double target = argc > 4 ? std::atof(argv[4]) : TARGET_PER_SECOND;
    const int threads = argc > 5 ? std::atoi(argv[5]) : 0;
    const std::string counter = "bench-" + std::to_string(getpid()) + "-" + std::to_string(std::time(nullptr));
    Station station;
    Counter made;
    Result ready = station.init(database);
    if (ready.ok())
        ready = station.init_counter(counter, 1, std::nullopt, made);
    if (!ready.ok()) {
        std::fprintf(stderr, "station_bench: %s\n", ready.message.c_str());
        return 1;
    }
    int go[2];
    if (pipe(go) != 0)
        return 1;
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        const pid_t child = fork();
        if (child == 0) {
            close(go[1]);
            _exit(draw(database, counter, p, draws, threads, go[0]));
        }
        children.push_back(child);
    }
    close(go[0]);
    const auto started = std::chrono::steady_clock::now();
    const std::string bytes(std::size_t(processes), 'g');
    bool ok = write(go[1], bytes.data(), bytes.size()) == ssize_t(bytes.size());
    for (pid_t child : children) {
        int status = 0;
        ok = waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    close(go[1]);
    std::vector<Drawn> runs;
    std::uint64_t numbers = 0;
    ok = ok && station.drawn(counter, runs).ok();
    for (const Drawn &run : runs)
        numbers += run.count;
    const std::uint64_t expected = std::uint64_t(processes) * std::uint64_t(draws);
    const double rate = double(expected) / seconds;
    std::printf("%-10s %d processes%s x %d draws-and-records: %.0f per second (%.1f ms each)%s\n",
                is_server(database) ? "postgresql" : "sqlite", processes,
                threads > 0 ? (" of " + std::to_string(threads) + " threads on one connection").c_str() : "", draws,
                rate, 1000 / rate,
                rate >= target ? "" : "  BELOW THE TARGET");
    if (!ok || numbers != expected) {
        std::fprintf(stderr, "station_bench: %llu numbers drawn, not %llu\n", static_cast<unsigned long long>(numbers),
                     static_cast<unsigned long long>(expected));
        return 1;
    }
    return rate >= target ? 0 : 1;
}
