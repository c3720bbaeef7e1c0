// The library's contract through libkestrane.so.1 itself, against boards
// behind pseudo-terminals: structures never set up refused before anything
// is sent, the *_INIT macros as the init calls, a session driven by one call
// at a time whatever the threads do, a flash cancelled at any point of its
// progress leaving the board in its bootloader, and what a flash of a file
// settles into, as a property of the locks asked.
#include <kestrane/kestrane.h>
#include "capi_helpers.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <atomic>
#include <cstring>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace capitest;

size_t records_received(UartBoard &board)
{
    const Bytes got = board.received();
    return size_t(std::count(got.begin(), got.end(), uint8_t('$')));
}

TEST(Contract, AStructureNeverSetUpIsRefusedBeforeAnythingIsSentNamingItsInit)
{
    auto board = board_of(BB3);
    Session open(*board);
    const Bytes image = random_image(2000, 1);
    const size_t before = records_received(*board);
    efm8_options zeroed;
    std::memset(&zeroed, 0, sizeof zeroed);
    efm8_report report{};
    EXPECT_EQ(efm8_flash(open.session, image.data(), uint32_t(image.size()), &zeroed, &report), EFM8_ERR_OPTIONS);
    EXPECT_EQ(report.result, EFM8_ERR_OPTIONS);
    EXPECT_EQ(report.commands, 0u);
    EXPECT_NE(words(report).find("efm8_init_options"), std::string::npos) << words(report);
    EXPECT_EQ(records_received(*board), before) << "a record went out";
    EXPECT_EQ(efm8_result_name(EFM8_ERR_OPTIONS), std::string("options"));

    efm8_port_settings settings;
    std::memset(&settings, 0, sizeof settings);
    efm8_session *other = nullptr;
    EXPECT_EQ(efm8_open_port(board->path().c_str(), &settings, &other), EFM8_ERR_OPTIONS);
    EXPECT_EQ(other, nullptr);
    ASSERT_EQ(efm8_last_failure(&report), EFM8_OK);
    EXPECT_NE(words(report).find("efm8_init_port_settings"), std::string::npos) << words(report);
    efm8_entry entry;
    std::memset(&entry, 0, sizeof entry);
    EXPECT_EQ(efm8_open_port_entry(board->path().c_str(), nullptr, &entry, &other, &report), EFM8_ERR_OPTIONS);
    EXPECT_NE(words(report).find("efm8_init_entry"), std::string::npos) << words(report);
    EXPECT_EQ(records_received(*board), before);
}

TEST(Contract, TheInitMacrosGiveWhatTheInitCallsGive)
{
    const efm8_options from_macro = EFM8_OPTIONS_INIT;
    efm8_options called;
    std::memset(&called, 0x5A, sizeof called);
    efm8_default_options(&called);
    EXPECT_EQ(from_macro.size, called.size);
    EXPECT_EQ(std::vector<int>({from_macro.verify, from_macro.delta, from_macro.safe_order, from_macro.skip_blank,
                                from_macro.run, from_macro.lock, from_macro.allow_disable_bootloader}),
              std::vector<int>({called.verify, called.delta, called.safe_order, called.skip_blank, called.run,
                                called.lock, called.allow_disable_bootloader}));
    EXPECT_EQ(from_macro.write_size, called.write_size);
    EXPECT_TRUE(called.progress == nullptr && called.progress_cancel == nullptr && called.identified == nullptr &&
                called.checks == nullptr && called.check_count == 0);
    EXPECT_TRUE(called.verify && called.safe_order && called.run && !called.delta);

    const efm8_port_settings settings = EFM8_PORT_SETTINGS_INIT;
    efm8_port_settings set;
    efm8_default_port_settings(&set);
    EXPECT_EQ(std::vector<uint32_t>({settings.size, settings.baud, settings.timeout_ms}),
              std::vector<uint32_t>({set.size, set.baud, set.timeout_ms}));

    const efm8_entry entry = EFM8_ENTRY_INIT;
    efm8_entry init;
    std::memset(&init, 0x5A, sizeof init);
    efm8_default_entry(&init);
    EXPECT_EQ(entry.size, init.size);
    EXPECT_EQ(entry.command_wait_ms, init.command_wait_ms);
    EXPECT_TRUE(init.reset.kind == EFM8_LINE_NONE && init.boot.kind == EFM8_LINE_NONE && init.step_count == 0 &&
                init.command_length == 0 && !init.reset_after);
    EXPECT_FALSE(efm8_entry_used(&entry));
}

// Options as a first-version program hands them in: the fields added since
// are not read, and take their defaults.
TEST(Contract, FirstVersionOptionsAreReadToTheirEndAndNoFurther)
{
    auto board = board_of(BB3);
    Session open(*board);
    std::vector<uint8_t> first(88, 0);
    auto *options = reinterpret_cast<efm8_options *>(first.data());
    efm8_init_options(options, first.size());
    options->run = 0;
    // What a newer field would hold, were it read past the size.
    std::vector<uint8_t> room(sizeof(efm8_options), 0xFF);
    std::memcpy(room.data(), first.data(), first.size());
    const Bytes image = random_image(1500, 2);
    efm8_report report{};
    ASSERT_EQ(efm8_flash(open.session, image.data(), uint32_t(image.size()),
                         reinterpret_cast<efm8_options *>(room.data()), &report),
              EFM8_OK)
        << words(report);
    EXPECT_EQ(efm8_verify(open.session, image.data(), uint32_t(image.size()), &report), EFM8_OK);
}

struct Busy {
    efm8_session *session;
    const Bytes *image;
    std::atomic<int> tries{0};
    int32_t from_thread = 1, from_callback = 1;
    efm8_report thread_report{};
};

void try_again(void *user, efm8_phase phase, uint32_t, uint32_t)
{
    Busy &busy = *static_cast<Busy *>(user);
    if (phase != EFM8_PHASE_WRITE || busy.tries++ > 0)
        return;
    // Another thread, and this call's own callback, while the call is under way.
    std::thread other([&busy] {
        busy.from_thread = efm8_flash(busy.session, busy.image->data(), uint32_t(busy.image->size()), nullptr,
                                      &busy.thread_report);
    });
    other.join();
    busy.from_callback = efm8_run(busy.session, nullptr);
    efm8_close(busy.session);  // left open: the call goes on
}

TEST(Contract, ACallOnASessionInACallIsRefusedAtOnceAndTheCallGoesOnUnharmed)
{
    auto board = board_of(BB3);
    Session open(*board);
    const Bytes image = random_image(3000, 3);
    Busy busy{open.session, &image};
    efm8_options options;
    efm8_default_options(&options);
    options.run = 0;
    options.progress = try_again;
    options.progress_user = &busy;
    efm8_report report{};
    ASSERT_EQ(efm8_flash(open.session, image.data(), uint32_t(image.size()), &options, &report), EFM8_OK)
        << words(report);
    EXPECT_EQ(busy.from_thread, EFM8_ERR_SESSION_BUSY);
    EXPECT_EQ(busy.thread_report.result, EFM8_ERR_SESSION_BUSY);
    EXPECT_EQ(busy.thread_report.commands, 0u);
    EXPECT_NE(words(busy.thread_report).find("efm8_flash is under way"), std::string::npos)
        << words(busy.thread_report);
    EXPECT_EQ(busy.from_callback, EFM8_ERR_SESSION_BUSY);
    ASSERT_EQ(efm8_last_failure(&report), EFM8_OK);
    EXPECT_EQ(report.result, EFM8_ERR_SESSION_BUSY) << "the close in the callback was not refused";
    // The session is still open, and the board holds the image.
    EXPECT_EQ(efm8_verify(open.session, image.data(), uint32_t(image.size()), &report), EFM8_OK) << words(report);
    EXPECT_EQ(efm8_result_exit_status(EFM8_ERR_SESSION_BUSY), 75);
}

// Threads racing on one session: each call gets in whole or not at all, so
// the board ends holding an image whole and in its bootloader, never one
// whose records interleaved.
TEST(Contract, ThreadsRacingOnOneSessionNeverInterleaveTheirRecords)
{
    auto board = board_of(BB3);
    Session open(*board);
    const Bytes first = random_image(4000, 4), second = random_image(4000, 5);
    std::atomic<int> ok{0}, busy{0}, other{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            const Bytes &image = t % 2 ? first : second;
            efm8_options options = EFM8_OPTIONS_INIT;
            options.run = 0;
            for (int i = 0; i < 3; ++i) {
                const int32_t result = efm8_flash(open.session, image.data(), uint32_t(image.size()), &options, nullptr);
                (result == EFM8_OK ? ok : result == EFM8_ERR_SESSION_BUSY ? busy : other)++;
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(other, 0) << "a call failed otherwise than as busy";
    EXPECT_GE(ok, 1);
    EXPECT_EQ(ok + busy, 12);
    efm8_report report{};
    const int32_t holds_first = efm8_verify(open.session, first.data(), uint32_t(first.size()), &report);
    const int32_t holds_second = efm8_verify(open.session, second.data(), uint32_t(second.size()), &report);
    EXPECT_TRUE((holds_first == EFM8_OK) != (holds_second == EFM8_OK)) << "the board holds neither image whole";
}

struct Cancel {
    int at;  // the progress call that cancels
    int calls = 0;
};

int cancel_at(void *user, efm8_phase, uint32_t, uint32_t)
{
    Cancel &cancel = *static_cast<Cancel *>(user);
    return ++cancel.calls >= cancel.at;
}

int count_calls(void *user, efm8_phase, uint32_t, uint32_t)
{
    ++static_cast<Cancel *>(user)->calls;
    return 0;
}

// Cancelled at every point of its progress, with delta and without, the
// flash stops there: the board stays in its bootloader with byte 0 erased
// (or as it was, when nothing was erased yet), and the callback is not
// called again.
TEST(Contract, AFlashCancelledAnywhereLeavesTheBoardInItsBootloaderWithByte0Erased)
{
    const Bytes image = random_image(2600, 6);
    for (const bool delta : {false, true}) {
        auto board = board_of(BB3);
        Session open(*board);
        Cancel counted{1 << 30};
        efm8_options options = EFM8_OPTIONS_INIT;
        options.delta = delta;
        options.run = 0;
        options.progress_cancel = count_calls;
        options.progress_user = &counted;
        // Half of the image there already, so that delta compares and skips.
        Bytes half = image;
        std::fill(half.begin() + 1024, half.end(), 0x00);
        ASSERT_EQ(efm8_flash(open.session, half.data(), uint32_t(half.size()), &options, nullptr), EFM8_OK);
        counted.calls = 0;
        ASSERT_EQ(efm8_flash(open.session, image.data(), uint32_t(image.size()), &options, nullptr), EFM8_OK);
        ASSERT_GT(counted.calls, 3);
        for (int at = 1; at <= counted.calls; ++at) {
            SCOPED_TRACE("delta " + std::to_string(delta) + ", cancelled at progress call " + std::to_string(at));
            Cancel cancel{at};
            options.progress_cancel = cancel_at;
            options.progress_user = &cancel;
            options.run = 1;
            efm8_report report{};
            const Bytes other = at % 2 ? half : random_image(image.size(), 100 + at);
            Bytes before;
            {
                std::lock_guard<std::mutex> held(board->lock());
                before = board->model().flash();
            }
            EXPECT_EQ(efm8_flash(open.session, other.data(), uint32_t(other.size()), &options, &report),
                      EFM8_ERR_CANCELLED);
            EXPECT_EQ(report.result, EFM8_ERR_CANCELLED);
            EXPECT_EQ(cancel.calls, at) << "called again after it cancelled";
            std::lock_guard<std::mutex> held(board->lock());
            EXPECT_TRUE(board->model().on_bus()) << "the application was started";
            // Cancelled before anything was erased, the chip keeps what it held.
            const Bytes flash = board->model().flash();
            EXPECT_TRUE(flash[0] == 0xFF || flash == before) << "byte 0 holds a half-written image's start";
        }
    }
    EXPECT_EQ(efm8_result_exit_status(EFM8_ERR_CANCELLED), 130);
    EXPECT_EQ(efm8_result_name(EFM8_ERR_CANCELLED), std::string("cancelled"));
}

// The half of the test below that runs in a process of its own, started
// afresh so that no other test's threads left arenas with room in them:
// with its address space held to what it uses, a 3 MB file's text cannot be
// copied. Skipped unless started so.
TEST(Contract, MemoryLimitedChild)
{
    if (std::getenv("KESTRANE_MEMORY_CHILD") == nullptr)
        GTEST_SKIP() << "run by MemoryTheSystemWillNotGiveIsMemoryNeverAnotherResult";
    const size_t size = 3u << 20;
    std::string text;
    text.reserve(size);
    while (text.size() + 64 < size)
        text += ":10000000AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA50\n";
    malloc_trim(0);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t used = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE));
    const struct rlimit limit = {used + (64u << 10), used + (64u << 10)};
    ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
    efm8_image *image = nullptr;
    char message[128] = "";
    const int32_t result = efm8_image_parse(reinterpret_cast<const uint8_t *>(text.data()), text.size(), "big.hex",
                                            &image, message, sizeof message);
    EXPECT_EQ(result, EFM8_ERR_MEMORY) << efm8_result_name(result) << ": " << message;
    EXPECT_EQ(image, nullptr);
    EXPECT_NE(std::strstr(message, "out of memory"), nullptr) << message;
}

// A port's reply time-out is taken whole, however long: one beyond what an
// int holds does not turn into none at all.
TEST(Contract, AnyReplyTimeOutIsHeldAsGiven)
{
    auto board = board_of(BB3);
    efm8_port_settings settings = EFM8_PORT_SETTINGS_INIT;
    settings.timeout_ms = 0xFFFFFFF0u;
    efm8_session *session = nullptr;
    ASSERT_EQ(efm8_open_port(board->path().c_str(), &settings, &session), EFM8_OK);
    efm8_identity identity{};
    efm8_report report{};
    EXPECT_EQ(efm8_identify(session, &identity, &report), EFM8_OK) << words(report);
    efm8_close(session);
}

// A port that could not be opened keeps the system's errno and words; an
// entry that could not be followed as given is refused, saying why.
TEST(Contract, WhyAnOpenFailedIsKept)
{
    efm8_session *session = nullptr;
    EXPECT_EQ(efm8_open_port("/nonexistent/ttyKESTRANE", nullptr, &session), EFM8_ERR_NO_DEVICE);
    efm8_report report{};
    ASSERT_EQ(efm8_last_failure(&report), EFM8_OK);
    EXPECT_EQ(report.os_error, ENOENT);
    EXPECT_NE(words(report).find("No such file or directory"), std::string::npos) << words(report);

    auto board = board_of(BB3);
    efm8_entry entry = EFM8_ENTRY_INIT;
    ASSERT_EQ(efm8_parse_line("dtr", &entry.boot, nullptr, 0), EFM8_OK);
    EXPECT_EQ(efm8_open_port_entry(board->path().c_str(), nullptr, &entry, &session, &report), EFM8_ERR_OPTIONS);
    EXPECT_NE(words(report).find("a boot line without a reset line"), std::string::npos) << words(report);
    entry = EFM8_ENTRY_INIT;
    entry.command_baud = 9600;
    EXPECT_EQ(efm8_open_port_entry(board->path().c_str(), nullptr, &entry, &session, &report), EFM8_ERR_OPTIONS);
    entry = EFM8_ENTRY_INIT;
    entry.step_count = EFM8_STEPS_MAX + 1;
    EXPECT_EQ(efm8_open_port_entry(board->path().c_str(), nullptr, &entry, &session, &report), EFM8_ERR_OPTIONS);
    EXPECT_EQ(session, nullptr);
}

// Memory the system will not give is EFM8_ERR_MEMORY, never "unreadable"
// or "bad-image", and never an exception out of the library.
TEST(Contract, MemoryTheSystemWillNotGiveIsMemoryNeverAnotherResult)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit here leaves";
#endif
#if defined(KESTRANE_EMULATED)
    GTEST_SKIP() << "qemu-user maps a program's memory itself, past any limit of the program's";
#endif
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("KESTRANE_MEMORY_CHILD", "1", 1);
        execl("/proc/self/exe", "contract_test", "--gtest_filter=Contract.MemoryLimitedChild", "--gtest_brief=1",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the library let an exception out, or crashed: signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "not EFM8_ERR_MEMORY with its words (the child's output above)";
    EXPECT_EQ(efm8_result_name(EFM8_ERR_MEMORY), std::string("memory"));
    EXPECT_EQ(efm8_result_exit_status(EFM8_ERR_MEMORY), 71);
}

}  // namespace
