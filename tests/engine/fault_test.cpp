// A fault at every command of a call over the hidapi stand-in: a send that
// fails, no reply, a reply too short to hold a code, a board that leaves,
// and each reply code no command hopes for. The result is the one the
// results table gives for what went wrong, never a false success; nothing
// is sent after a failure; and a load cut off between page 0's erase and
// the write of address 0 leaves byte 0 erased. The calls: a full flash, a
// delta, a flash with delta, checks of its own and a lock, and a lock alone.
#include "engine_helpers.h"
#include "fault_roles.h"

#include <functional>
#include <string>

namespace enginetest {
namespace {

using faults::Role;

// One call on an open session, its report filled.
using Call = std::function<int32_t(efm8_session *, efm8_report *)>;

struct Scenario {
    Bytes old;  // the chip's flash before
    Call call;
    uint32_t span_end = 0;  // of the image's last page; 0 for a call that flashes nothing
    std::vector<efm8_check> checks;
};

// What a clean run of the scenario sent and left.
struct Clean {
    std::vector<Bytes> frames;
    std::vector<Role> roles;
    Bytes flash;
    uint8_t lock_byte = 0, signature_byte = 0;
    efm8_report report{};
    size_t lock_at = SIZE_MAX;  // the lock command's index, if any
};

enum class Fault { FailedSend, FailedRead, ShortReply, Vanish, Reply };

struct Cut {
    Fault fault;
    size_t index;
    uint8_t code = 0;  // the reply code, for Fault::Reply
    // Whether the command at index reached the chip.
    bool reached(size_t command) const { return command < index || (command == index && fault != Fault::FailedSend); }
};

int32_t run(const Scenario &scenario, efm8_report &report)
{
    return with_session([&](efm8_session *s) { return scenario.call(s, &report); });
}

Clean run_clean(const Scenario &scenario)
{
    hidsim::reset();
    hidsim::Device &board = hidsim::attach();
    board.model.flash() = scenario.old;
    Clean clean;
    EXPECT_EQ(run(scenario, clean.report), EFM8_OK);
    clean.frames = board.model.frames();
    clean.roles = faults::roles_of(clean.frames, scenario.span_end, scenario.checks);
    clean.flash = board.model.flash();
    clean.lock_byte = board.model.lock_byte();
    clean.signature_byte = board.model.signature_byte();
    for (size_t i = 0; i < clean.roles.size(); ++i)
        if (clean.roles[i] == Role::Lock)
            clean.lock_at = i;
    return clean;
}

void inject(hidsim::Device &board, const Cut &cut)
{
    switch (cut.fault) {
    case Fault::FailedSend: board.fail_send = cut.index; break;
    case Fault::FailedRead: board.fail_read = cut.index; break;
    case Fault::ShortReply: board.short_read = cut.index; break;
    case Fault::Vanish: board.model.vanish_after_command(cut.index); break;
    case Fault::Reply: board.model.answer_command_with(cut.index, cut.code); break;
    }
}

// A call that goes on past a reply it takes in its stride ends as the
// clean run did, but for what that reply says: a byte not readable, or a
// block rewritten.
void expect_went_on(const Clean &clean, const Cut &cut, const hidsim::Device &board, const efm8_report &report)
{
    EXPECT_EQ(board.model.flash(), clean.flash);
    EXPECT_EQ(board.model.lock_byte(), clean.lock_byte);
    EXPECT_EQ(board.model.signature_byte(), clean.signature_byte);
    EXPECT_EQ(report.reply, -1) << "no failure is kept";
    EXPECT_EQ(report.locked, clean.report.locked);
    if (clean.roles[cut.index] != Role::ReadBack)
        return;
    const Bytes &frame = clean.frames[cut.index];
    const bool lock_byte = faults::verify_start(frame) == faults::verify_start(clean.frames[clean.lock_at + 1]);
    EXPECT_EQ(report.lock_value, lock_byte ? -1 : clean.report.lock_value);
    EXPECT_EQ(report.signature_value, lock_byte ? clean.report.signature_value : -1);
}

void expect_cut_reported(const Scenario &scenario, const Clean &clean, const Cut &cut, int32_t expected)
{
    const Role role = clean.roles[cut.index];
    static const char *const FAULTS[] = {"a failed send", "no reply", "a reply without a code", "the board leaving",
                                         "reply "};
    SCOPED_TRACE(FAULTS[int(cut.fault)] + (cut.fault == Fault::Reply ? faults::hex(cut.code) : "") + " at command " +
                 std::to_string(cut.index) + ", the " + faults::role_name(role));
    hidsim::reset();
    hidsim::Device &board = hidsim::attach();
    board.model.flash() = scenario.old;
    inject(board, cut);
    efm8_report report;
    ASSERT_EQ(run(scenario, report), expected);
    EXPECT_EQ(board.closes, 1);
    if (expected == EFM8_OK)
        return expect_went_on(clean, cut, board, report);
    EXPECT_EQ(board.sends, cut.index + 1) << "nothing is sent after a fault";
    EXPECT_EQ(report.commands, cut.index + 1);
    EXPECT_EQ(report.command, clean.frames[cut.index][2]);
    EXPECT_EQ(report.reply, cut.fault == Fault::Reply ? cut.code : -1);
    EXPECT_EQ(report.locked, int(cut.index > clean.lock_at && clean.lock_at != SIZE_MAX))
        << "locked says whether the lock was taken";
    if (clean.lock_at == SIZE_MAX || cut.index < clean.lock_at) {
        EXPECT_EQ(board.model.lock_byte(), 0xFF) << "a call that failed before its lock never locks";
    }
    size_t erase_of_0 = clean.frames.size(), write_of_0 = clean.frames.size();
    for (size_t i = 0; i < clean.frames.size(); ++i) {
        const Frame f = parse(clean.frames[i]);
        if (f.address == 0 && f.command == EFM8_CMD_ERASE && erase_of_0 == clean.frames.size())
            erase_of_0 = i;
        if (f.address == 0 && f.command == EFM8_CMD_WRITE)
            write_of_0 = i;
    }
    if (cut.reached(erase_of_0) && !cut.reached(write_of_0)) {
        EXPECT_EQ(board.model.flash()[0], 0xFF) << "the chip must stay in its bootloader";
    }
}

void expect_every_fault_reported(const Scenario &scenario)
{
    const Clean clean = run_clean(scenario);
    ASSERT_FALSE(clean.frames.empty());
    for (size_t index = 0; index < clean.frames.size(); ++index) {
        for (Fault fault : {Fault::FailedSend, Fault::FailedRead, Fault::ShortReply, Fault::Vanish})
            expect_cut_reported(scenario, clean, {fault, index}, EFM8_ERR_TRANSFER);
        for (uint8_t code : {faults::REFUSAL, faults::WRONG_REPLY, faults::BAD_CRC})
            if (const auto expected = faults::on_reply(clean.roles[index], code))
                expect_cut_reported(scenario, clean, {Fault::Reply, index, code}, expected->result);
    }
}

Call flash_call(const Bytes &image, const efm8_options &options)
{
    return [image, options](efm8_session *s, efm8_report *report) {
        return efm8_flash(s, image.data(), uint32_t(image.size()), &options, report);
    };
}

uint32_t span_end_of(const Bytes &image)
{
    return uint32_t((image.size() + PAGE - 1) / PAGE * PAGE - 1);
}

size_t count_of(const std::vector<Role> &roles, Role role)
{
    return size_t(std::count(roles.begin(), roles.end(), role));
}

TEST_F(Engine, EveryFaultOfAFullFlashIsReported)
{
    Bytes image(4000);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = i >= 1000 && i < 1700 ? 0xFF : uint8_t(i * 3 + 1);
    expect_every_fault_reported({Bytes(efm8sim::FLASH_SIZE, 0x00), flash_call(image, defaults()), span_end_of(image), {}});
}

TEST_F(Engine, EveryFaultOfADeltaFlashIsReported)
{
    Bytes image(4000);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i * 5 + 2);
    Bytes old = full_sequence_result(Bytes(efm8sim::FLASH_SIZE, 0xFF), image);
    old[3 * 512 + 300] ^= 0x10;
    efm8_options options = defaults();
    options.delta = 1;
    expect_every_fault_reported({old, flash_call(image, options), span_end_of(image), {}});
}

// Delta, checks of the caller's own (a boot-record file's verify records:
// a few bytes where a serial number goes, and a range across two pages),
// the lock, its read-back and run application, all in one flash.
TEST_F(Engine, EveryFaultOfALockedDeltaFlashWithChecksIsReported)
{
    Bytes image(4000);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i * 7 + 3);
    Bytes old = full_sequence_result(Bytes(efm8sim::FLASH_SIZE, 0xFF), image);
    old[3 * 512 + 300] ^= 0x10;
    const std::vector<efm8_check> checks = {{0x0010, 0x0013, image_crc(image, 0x10, 0x13)},
                                            {0x0100, 0x02FF, image_crc(image, 0x100, 0x2FF)}};
    efm8_options options = defaults();
    options.delta = 1;
    options.checks = checks.data();
    options.check_count = checks.size();
    options.lock = 1;
    options.lock_signature = EFM8_SIGNATURE_KEEP;
    options.lock_byte = efm8_lock_byte_for(3);
    const Scenario scenario{old, flash_call(image, options), span_end_of(image), checks};
    const Clean clean = run_clean(scenario);
    EXPECT_EQ(clean.lock_byte, 0xFC);
    // Every kind of command is among those the faults hit.
    for (Role role : {Role::SizeProbe, Role::Compare, Role::Erase, Role::Write, Role::FinalVerify, Role::Lock,
                      Role::RunApp})
        EXPECT_GE(count_of(clean.roles, role), 1u) << faults::role_name(role);
    EXPECT_EQ(count_of(clean.roles, Role::Check), 2u);
    EXPECT_EQ(count_of(clean.roles, Role::ReadBack), 2u);
    expect_every_fault_reported(scenario);
}

// The lock command on its own, as kestrane-cli lock sends it.
TEST_F(Engine, EveryFaultOfALockIsReported)
{
    const Scenario scenario{Bytes(efm8sim::FLASH_SIZE, 0x5A), [](efm8_session *s, efm8_report *report) {
                                return efm8_lock(s, EFM8_SIGNATURE_KEEP, efm8_lock_byte_for(5), report);
                            }, 0, {}};
    const Clean clean = run_clean(scenario);
    EXPECT_EQ(clean.lock_byte, efm8_lock_byte_for(5));
    EXPECT_EQ(count_of(clean.roles, Role::Lock), 1u);
    EXPECT_EQ(count_of(clean.roles, Role::ReadBack), 2u);
    expect_every_fault_reported(scenario);
}

}  // namespace
}  // namespace enginetest
