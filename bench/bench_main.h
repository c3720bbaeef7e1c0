// What each benchmark program's main does around its own benchmarks: its
// own arguments taken out before Google Benchmark reads the rest, and the
// run, whose exit status says whether every flash it timed succeeded.
#ifndef KESTRANE_BENCH_MAIN_H
#define KESTRANE_BENCH_MAIN_H

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstring>
#include <string>

// Takes an argument out of argv: a flag ("--small") where value is null,
// else one that starts with prefix ("--cli="), its text after the prefix in
// value (the last one's). Whether it was given.
inline bool take_argument(int &argc, char **argv, const char *prefix, std::string *value = nullptr)
{
    bool found = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0 &&
            (value != nullptr || argv[i][std::strlen(prefix)] == '\0')) {
            found = true;
            if (value != nullptr)
                *value = argv[i] + std::strlen(prefix);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    return found;
}

// The benchmarks registered, run: 1 for an argument Google Benchmark does
// not know, for failed once they ran (read then), and, where none_run_fails
// says so, for a run that timed nothing.
inline int run_benchmarks(int argc, char **argv, const bool &failed, bool none_run_fails = false)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    const std::size_t run = benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return (none_run_fails && run == 0) || failed ? 1 : 0;
}

#endif
