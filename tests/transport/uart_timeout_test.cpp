// Replies late or never over the UART transport: a reply within the
// time-out is waited for; none within it fails the call with
// EFM8_ERR_TRANSFER once the time-out has passed and soon after, whatever
// the time-out; and a reply that comes too late is never taken for the
// answer to a later record.
#include "time_scale.h"
#include "uart_helpers.h"

#include <cerrno>
#include <thread>

namespace uarttest {
namespace {

// A board that answers nothing, from its first record on: its chip is in
// its application, or its TX and RX are crossed.
std::unique_ptr<UartBoard> silent_board()
{
    auto board = board_of(part_named("EFM8BB10F8G-QFN20"));
    std::lock_guard<std::mutex> guard(board->lock());
    board->faults().silent_from = 0;
    return board;
}

struct Waited {
    int32_t result = EFM8_OK;
    efm8_report report{};
    std::chrono::milliseconds took{0};
};

// One identify on a fresh session to the silent board, timed: the open and
// the training byte come before the clock starts.
Waited ping_silence(const efm8_port_settings *settings)
{
    auto board = silent_board();
    efm8_session *session = nullptr;
    Waited waited;
    waited.result = efm8_open_port(board->path().c_str(), settings, &session);
    if (waited.result != EFM8_OK)
        return waited;
    waited.took = timing::time_of([&] { waited.result = efm8_ping(session, &waited.report); });
    efm8_close(session);
    return waited;
}

// The default time-out, a short one and a longer one, all waited at once.
TEST(UartTimeout, NoReplyFailsTheCallOnceItsTimeOutHasPassedAndSoonAfter)
{
    const uint32_t timeouts[] = {EFM8_TIMEOUT_DEFAULT_MS, 100, 700};
    std::vector<Waited> waited(3);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < waited.size(); ++i)
        threads.emplace_back([&, i] {
            const efm8_port_settings settings = port_settings(timeouts[i]);
            // The default by leaving the settings out.
            waited[i] = ping_silence(timeouts[i] == EFM8_TIMEOUT_DEFAULT_MS ? nullptr : &settings);
        });
    for (std::thread &thread : threads)
        thread.join();
    for (size_t i = 0; i < waited.size(); ++i) {
        const std::chrono::milliseconds bound(timeouts[i]);
        SCOPED_TRACE("a time-out of " + std::to_string(bound.count()) + " ms, waited " +
                     std::to_string(waited[i].took.count()) + " ms");
        ASSERT_EQ(waited[i].result, EFM8_ERR_TRANSFER);
        EXPECT_EQ(waited[i].report.os_error, ETIMEDOUT);
        EXPECT_EQ(waited[i].report.command, EFM8_CMD_IDENTIFY);
        // The port counts its time-out in whole milliseconds from the
        // millisecond it was sent in.
        EXPECT_GE(waited[i].took.count(), bound.count() - 1) << "given up before its time-out";
        EXPECT_LE(waited[i].took.count(), (bound + timing::slack()).count()) << "given up long after its time-out";
    }
}

// A reply that comes late but within the time-out is waited for; one that
// comes after it fails the transfer and says so, and when it does arrive
// it is not taken for the answer to a later record.
TEST(Uart, ASlowReplyWithinTheTimeOutIsWaitedForAndOneBeyondItFails)
{
    const efm8_part &part = part_named("EFM8BB10F8G-QFN20");
    const Bytes image = random_bytes(3000, 3);
    auto clean = board_of(part);
    ASSERT_EQ(flash_board(*clean, image), EFM8_OK);
    const std::vector<Bytes> frames = frames_of(*clean);
    const size_t write = first_of(frames, EFM8_CMD_WRITE, 0x80);
    ASSERT_LT(write, frames.size());

    auto patient = board_of(part);
    slow_down(*patient, write, std::chrono::milliseconds(100));
    ASSERT_EQ(flash_board(*patient, image, nullptr, nullptr, port_settings(1000)), EFM8_OK);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash_of(*patient).begin()));

    auto late = board_of(part);
    slow_down(*late, write, std::chrono::milliseconds(600));
    Events events(*late);
    Session session(*late, port_settings(200));
    ASSERT_EQ(session.opened(), EFM8_OK);
    efm8_report report;
    ASSERT_EQ(session.flash(image, nullptr, &report), EFM8_ERR_TRANSFER);
    EXPECT_EQ(report.commands, write + 1);
    char text[200];
    efm8_describe(&report, text, sizeof text);
    EXPECT_STREQ(text, "the write at 0x0080 got no answer: no reply within 0.2 s");

    // Page 0 as the chip now holds it in its first 256-byte block, not in
    // its second: were the late '@' taken for the answer to verify's setup,
    // each reply after would be its predecessor's, and the page would pass.
    ASSERT_TRUE(events.wait_for("reply", write + 1));
    Bytes page(512, 0x5A);
    std::fill(page.begin(), page.begin() + 0x80, 0xFF);
    std::copy(image.begin() + 0x80, image.begin() + 0x100, page.begin() + 0x80);
    ASSERT_EQ(efm8_verify(session.get(), page.data(), uint32_t(page.size()), &report), EFM8_ERR_MISMATCH);
    EXPECT_EQ(report.pages_differ, 1u);
}

}  // namespace
}  // namespace uarttest
