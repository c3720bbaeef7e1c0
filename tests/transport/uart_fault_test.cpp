// A fault at every command of a flash over the UART transport, to boards
// behind pseudo-terminals: the board goes silent (its chip left for its
// application), its line drops, or it answers a command with a code the
// command does not hope for. The result is the one the results table gives
// for what went wrong, never a false success; nothing is sent after a
// failure; the port is released; and a load cut off between page 0's erase
// and the write of address 0 leaves byte 0 erased. The flashes: one with
// the defaults, and one with delta, checks of its own and a lock.
#include "fault_roles.h"
#include "uart_helpers.h"

#include <cerrno>
#include <thread>

namespace uarttest {
namespace {

using faults::Role;

// A flash as a clean board sees it. Built in place: the options point at
// the checks.
struct Scenario {
    const efm8_part &part;
    Bytes old;
    Bytes image;
    std::vector<efm8_check> checks;
    efm8_options options;
    uint32_t span_end() const { return uint32_t((image.size() + 511) / 512 * 512 - 1); }
};

struct Clean {
    std::vector<Bytes> frames;
    std::vector<Role> roles;
    Bytes flash;
    uint8_t lock_byte = 0;
    efm8_report report{};
    size_t lock_at = SIZE_MAX;
    size_t erase_of_0 = 0, write_of_0 = 0;
};

enum class Fault { Silence, HangUp, Reply };

// Each silent cut waits this out twice (its flash, then the ping after);
// the cuts of different commands run at once.
const uint32_t SILENCE_TIMEOUT_MS = 250;

struct Cut {
    Fault fault;
    size_t index;
    uint8_t code = 0;  // the reply code, for Fault::Reply
    // Whether the command at index reached the chip.
    bool ran(size_t command) const { return command < index || (command == index && fault == Fault::Reply); }
    uint32_t timeout_ms() const { return fault == Fault::Silence ? SILENCE_TIMEOUT_MS : EFM8_TIMEOUT_DEFAULT_MS; }
};

Clean run_clean(const Scenario &scenario)
{
    auto board = board_of(scenario.part);
    load(*board, scenario.old);
    Clean clean;
    EXPECT_EQ(flash_board(*board, scenario.image, &scenario.options, &clean.report), EFM8_OK);
    clean.frames = frames_of(*board);
    clean.roles = faults::roles_of(clean.frames, scenario.span_end(), scenario.checks);
    clean.flash = flash_of(*board);
    std::lock_guard<std::mutex> guard(board->lock());
    clean.lock_byte = board->model().lock_byte();
    for (size_t i = 0; i < clean.roles.size(); ++i)
        if (clean.roles[i] == Role::Lock)
            clean.lock_at = i;
    clean.erase_of_0 = first_of(clean.frames, EFM8_CMD_ERASE, 0);
    clean.write_of_0 = first_of(clean.frames, EFM8_CMD_WRITE, 0);
    return clean;
}

void inject(UartBoard &board, const Cut &cut)
{
    std::lock_guard<std::mutex> guard(board.lock());
    switch (cut.fault) {
    case Fault::Silence: board.faults().silent_from = cut.index; break;
    case Fault::HangUp: board.faults().hang_up_at = cut.index; break;
    case Fault::Reply: board.model().answer_command_with(cut.index, cut.code); break;
    }
}

// Once the session is closed a new one must open, and the board must see
// its ping right after the records up to the cut: then nothing else was
// sent. A dropped line takes the terminal with it, and any descriptor the
// session kept would still name it.
void expect_nothing_after(UartBoard &board, Events &events, const Clean &clean, const Cut &cut)
{
    const std::vector<Bytes> before(clean.frames.begin(), clean.frames.begin() + cut.index + 1);
    if (cut.fault == Fault::HangUp) {
        EXPECT_EQ(board.received(), line_of(before));
        EXPECT_EQ(descriptors_on(board.path()), 0) << "the session's descriptor was closed";
        return;
    }
    board.reset_into_bootloader();
    Session again(board, port_settings(cut.timeout_ms()));
    ASSERT_EQ(again.opened(), EFM8_OK) << "the port was released";
    efm8_ping(again.get(), nullptr);  // unanswered when the board stays silent
    ASSERT_TRUE(events.wait_for("record", cut.index + 2));
    Bytes expected = line_of(before);
    expected.push_back(TRAINING_BYTE);
    expected.insert(expected.end(), PING.begin(), PING.end());
    EXPECT_EQ(board.received(), expected);
}

void expect_cut_reported(const Scenario &scenario, const Clean &clean, const Cut &cut, int32_t expected)
{
    static const char *const FAULTS[] = {"silence", "a dropped line", "reply "};
    SCOPED_TRACE(FAULTS[int(cut.fault)] + (cut.fault == Fault::Reply ? faults::hex(cut.code) : "") + " at command " +
                 std::to_string(cut.index) + ", the " + faults::role_name(clean.roles[cut.index]));
    auto board = board_of(scenario.part);
    load(*board, scenario.old);
    inject(*board, cut);
    Events events(*board);
    efm8_report report;
    const int32_t result =
        flash_board(*board, scenario.image, &scenario.options, &report, port_settings(cut.timeout_ms()));
    ASSERT_EQ(result, expected);
    if (expected == EFM8_OK) {
        // Gone on past a byte not readable, or a block found to differ.
        EXPECT_EQ(flash_of(*board), clean.flash);
        EXPECT_EQ(report.reply, -1) << "no failure is kept";
        EXPECT_EQ(report.locked, clean.report.locked);
        const bool read_back = clean.roles[cut.index] == Role::ReadBack;
        const bool lock_byte = read_back && cut.index == clean.lock_at + 1;
        EXPECT_EQ(report.lock_value, lock_byte ? -1 : clean.report.lock_value);
        EXPECT_EQ(report.signature_value, read_back && !lock_byte ? -1 : clean.report.signature_value);
        return;
    }
    EXPECT_EQ(report.commands, cut.index + 1);
    EXPECT_EQ(report.command, clean.frames[cut.index][2]);
    EXPECT_EQ(report.reply, cut.fault == Fault::Reply ? cut.code : -1);
    EXPECT_EQ(report.locked, int(clean.lock_at != SIZE_MAX && cut.index > clean.lock_at));
    if (cut.fault != Fault::Reply) {
        EXPECT_EQ(report.os_error == ETIMEDOUT, cut.fault == Fault::Silence)
            << "a dropped line is told from silence: " << report.transport_error;
    }
    expect_nothing_after(*board, events, clean, cut);
    if (cut.ran(clean.erase_of_0) && !cut.ran(clean.write_of_0)) {
        EXPECT_EQ(flash_of(*board)[0], 0xFF) << "the chip must stay in its bootloader";
    }
    if (!cut.ran(clean.lock_at)) {
        std::lock_guard<std::mutex> guard(board->lock());
        EXPECT_EQ(board->model().lock_byte(), 0xFF) << "a flash that failed before its lock never locks";
    }
}

// Each command's silence and reply codes on a thread of its own: the
// boards wait on their lines, not on the processor. A dropped line frees
// its terminal's name for the next board, so those cuts come one at a
// time, when no other session could hold a terminal of that name.
void expect_every_fault_reported(const Scenario &scenario)
{
    const Clean clean = run_clean(scenario);
    ASSERT_LT(clean.erase_of_0, clean.write_of_0);
    ASSERT_LT(clean.write_of_0, clean.frames.size());
    std::vector<std::thread> commands;
    for (size_t index = 0; index < clean.frames.size(); ++index)
        commands.emplace_back([&, index] {
            expect_cut_reported(scenario, clean, {Fault::Silence, index}, EFM8_ERR_TRANSFER);
            for (uint8_t code : {faults::REFUSAL, faults::WRONG_REPLY, faults::BAD_CRC})
                if (const auto expected = faults::on_reply(clean.roles[index], code))
                    expect_cut_reported(scenario, clean, {Fault::Reply, index, code}, expected->result);
        });
    for (std::thread &command : commands)
        command.join();
    for (size_t index = 0; index < clean.frames.size(); ++index)
        expect_cut_reported(scenario, clean, {Fault::HangUp, index}, EFM8_ERR_TRANSFER);
}

// An inferred limit, so the size probe is among the commands.
const char PART[] = "EFM8BB21F16G-QSOP24";

TEST(UartFault, AFaultAtAnyCommandOfAFullFlashIsReportedAndNothingFollows)
{
    Scenario scenario{part_named(PART), {}, random_bytes(2000, 11), {}, {}};
    scenario.old.assign(efm8sim::layout_of(scenario.part).flash_size, 0x00);
    std::fill(scenario.image.begin() + 700, scenario.image.begin() + 900, 0xFF);
    efm8_default_options(&scenario.options);
    expect_every_fault_reported(scenario);
}

// Delta (a page already holds the image, another does not), checks of the
// caller's own (a boot-record file's verify records: a few bytes where a
// serial number goes, a range across two pages), the lock, its read-back
// and run application.
TEST(UartFault, AFaultAtAnyCommandOfALockedDeltaFlashWithChecksIsReportedAndNothingFollows)
{
    Scenario scenario{part_named(PART), {}, random_bytes(2000, 12), {}, {}};
    const Bytes &image = scenario.image;
    scenario.old.assign(efm8sim::layout_of(scenario.part).flash_size, 0xFF);
    std::copy(image.begin(), image.end(), scenario.old.begin());
    scenario.old[3 * 512 + 100] ^= 0x04;
    auto crc = [&](uint32_t start, uint32_t end) { return efm8sim::crc16_xmodem(&image[start], end - start + 1); };
    scenario.checks = {{0x0010, 0x0013, crc(0x10, 0x13)}, {0x0100, 0x02FF, crc(0x100, 0x2FF)}};
    efm8_options &options = scenario.options;
    efm8_default_options(&options);
    options.delta = 1;
    options.checks = scenario.checks.data();
    options.check_count = scenario.checks.size();
    options.lock = 1;
    options.lock_signature = EFM8_SIGNATURE_KEEP;
    options.lock_byte = efm8_lock_byte_for(2);
    const Clean clean = run_clean(scenario);
    EXPECT_EQ(clean.lock_byte, efm8_lock_byte_for(2));
    for (Role role : {Role::SizeProbe, Role::Compare, Role::Erase, Role::Write, Role::FinalVerify, Role::Lock,
                      Role::RunApp})
        EXPECT_NE(std::find(clean.roles.begin(), clean.roles.end(), role), clean.roles.end()) << faults::role_name(role);
    EXPECT_EQ(std::count(clean.roles.begin(), clean.roles.end(), Role::Check), 2);
    EXPECT_EQ(std::count(clean.roles.begin(), clean.roles.end(), Role::ReadBack), 2);
    expect_every_fault_reported(scenario);
}

}  // namespace
}  // namespace uarttest
