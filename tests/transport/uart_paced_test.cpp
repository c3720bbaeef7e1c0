// The board whose line runs at the host's baud rate, as the benchmarks time
// a flash against: a reply never comes before the record's bytes and its
// own could have crossed the line, and the chip's time is spent on top. The
// clock only bounds from below here; how close to the bound a flash comes
// is a benchmark's figure (bench/uart_bench.cpp), not a test's.
#include "uart_helpers.h"

namespace uarttest {
namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

struct Timed {
    int32_t result;
    Seconds wall;
    Seconds chip;
};

Timed paced_flash(const efm8_part &part, const Bytes &image, uint32_t baud)
{
    auto board = board_of(part);
    board->set_paced(true);
    const Clock::time_point start = Clock::now();
    const int32_t result = flash_board(*board, image, nullptr, nullptr, port_settings(EFM8_TIMEOUT_DEFAULT_MS, baud));
    const Seconds wall = Clock::now() - start;
    std::lock_guard<std::mutex> guard(board->lock());
    return {result, wall, board->model().device_time()};
}

// Random images and every baud rate a port is opened at: the flash lands,
// and takes at least its bytes' time on the line and the chip's time.
TEST(UartPaced, AFlashTakesAtLeastTheLineAndTheChipsTime)
{
    const efm8_part &part = part_named("EFM8BB10F2G-QFN20");
    std::mt19937 rng(11);
    size_t count;
    const uint32_t *bauds = efm8_baud_rates(&count);
    for (size_t i = 0; i < count; ++i) {
        const Bytes image = random_bytes(std::uniform_int_distribution<size_t>(1, 400)(rng), uint32_t(rng()));
        auto board = board_of(part);
        board->model().set_latency({std::chrono::microseconds(10), std::chrono::microseconds(500),
                                    std::chrono::microseconds(2)});
        board->set_paced(true);
        const Clock::time_point start = Clock::now();
        efm8_options options = EFM8_OPTIONS_INIT;
        options.run = 0;
        const int32_t result =
            flash_board(*board, image, &options, nullptr, port_settings(EFM8_TIMEOUT_DEFAULT_MS, bauds[i]));
        const Seconds wall = Clock::now() - start;
        ASSERT_EQ(result, EFM8_OK) << bauds[i];
        const Bytes flash = flash_of(*board);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << bauds[i];
        const size_t line_bytes = board->received().size() + board->sent();
        const Seconds on_line(double(line_bytes) * 10 / bauds[i]);
        std::lock_guard<std::mutex> guard(board->lock());
        const Seconds chip = board->model().device_time();
        EXPECT_GE(wall, on_line + chip) << bauds[i] << " baud, " << line_bytes << " bytes";
        EXPECT_GT(chip.count(), 0);
    }
}

// With no latency asked the chip spends nothing, and the line alone holds
// the flash to its bytes' time at the rate the host set.
TEST(UartPaced, TheLineFollowsTheRateTheHostSet)
{
    const efm8_part &part = part_named("EFM8BB10F2G-QFN20");
    const Bytes image = random_bytes(1024, 5);
    const Timed slow = paced_flash(part, image, 57600);
    ASSERT_EQ(slow.result, EFM8_OK);
    EXPECT_GE(slow.wall, Seconds(double(image.size()) * 10 / 57600));
    EXPECT_EQ(slow.chip.count(), 0) << "no latency asked, none spent";
}

}  // namespace
}  // namespace uarttest
