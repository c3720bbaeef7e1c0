// The engine against the simulated device: choosing boards, what a flash
// leaves in the chip whatever the options (over the hidapi stand-in and
// over a UART board), delta's half-page checks, and a fault at every
// command.
#include <kestrane/engine.h>
#include "gui/lib.h"

#include "hidsim.h"
#include "uart_board.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const uint32_t UB1_AREA = 14848;

class Engine : public ::testing::Test {
protected:
    void SetUp() override { hidsim::reset(); }
    void TearDown() override
    {
        EXPECT_EQ(hidsim::counters().open_handles, 0) << "a handle was left open";
        EXPECT_EQ(hidsim::counters().live_list_entries, 0) << "an enumeration was not freed";
        hidsim::reset();
    }
};

// Opens the only board, runs one call on it, and closes it.
template <typename Call>
int32_t with_session(Call call)
{
    efm8_session *session = nullptr;
    const int32_t opened = efm8_open(nullptr, &session);
    if (opened != EFM8_OK)
        return opened;
    const int32_t result = call(session);
    efm8_close(session);
    return result;
}

int32_t flash(const Bytes &image, const efm8_options *options, efm8_report *report = nullptr)
{
    return with_session([&](efm8_session *s) {
        return efm8_flash(s, image.data(), uint32_t(image.size()), options, report);
    });
}

efm8_options defaults()
{
    efm8_options options;
    efm8_default_options(&options);
    return options;
}

// What the window's full sequence leaves: the image, then 0xFF to the end
// of its last page, the rest of the flash as it was.
Bytes full_sequence_result(Bytes flash, const Bytes &image)
{
    const size_t span = (image.size() + 511) / 512 * 512;
    std::fill(flash.begin(), flash.begin() + span, 0xFF);
    std::copy(image.begin(), image.end(), flash.begin());
    return flash;
}

struct Frame {
    uint8_t command;
    uint32_t address;
    Bytes data;
};

Frame parse(const Bytes &raw)
{
    return {raw[2], uint32_t(raw[3] << 8 | raw[4]), Bytes(raw.begin() + 5, raw.end())};
}

bool carries_data(const Frame &f)
{
    return f.command == EFM8_CMD_ERASE || f.command == EFM8_CMD_WRITE;
}

// Choosing a board.

TEST_F(Engine, ListsEveryFamilySortedByPathAndOpensByPath)
{
    hidsim::attach(0x10C4, 0xEACB);
    hidsim::attach(0x10C4, 0x1234);  // not a bootloader
    hidsim::attach(0x10C4, 0xEAC9);
    hidsim::attach(0x10C4, 0xEACA);
    efm8_device devices[2];
    ASSERT_EQ(efm8_list(devices, 2), 3) << "the count is of all attached, beyond max";
    EXPECT_STREQ(devices[0].path, "sim:1");
    EXPECT_STREQ(devices[0].family, "EFM8UB3");
    EXPECT_STREQ(devices[1].path, "sim:3");
    EXPECT_STREQ(devices[1].family, "EFM8UB1");
    EXPECT_EQ(devices[1].product_id, 0xEAC9);

    efm8_session *session = nullptr;
    EXPECT_EQ(efm8_open(nullptr, &session), EFM8_ERR_SEVERAL);
    EXPECT_EQ(session, nullptr);
    EXPECT_EQ(efm8_open("sim:2", &session), EFM8_ERR_NO_DEVICE) << "only bootloaders are opened";
    ASSERT_EQ(efm8_open("sim:4", &session), EFM8_OK);
    EXPECT_STREQ(efm8_session_device(session)->family, "EFM8UB2");
    efm8_close(session);
}

TEST_F(Engine, OpenNamesWhyItFails)
{
    efm8_session *session = nullptr;
    EXPECT_EQ(efm8_open(nullptr, &session), EFM8_ERR_NO_DEVICE);
    hidsim::Device &device = hidsim::attach();
    device.deny_open = true;
    EXPECT_EQ(efm8_open(nullptr, &session), EFM8_ERR_OPEN);
    EXPECT_EQ(session, nullptr);
}

// What a flash leaves, whatever the options: a property over random old
// flash, random images and random option sets, with the window's own
// sequence on a twin board as the oracle. The seed is fixed, so a run that
// passes always passes.

Bytes random_image(std::mt19937 &rng)
{
    auto byte = [&] { return uint8_t(rng()); };
    Bytes image;
    switch (rng() % 4) {
    case 0:  // dense, with runs of 0xFF
        image.resize(1 + rng() % UB1_AREA);
        for (uint8_t &b : image)
            b = byte();
        for (int runs = rng() % 6; runs > 0; --runs) {
            const size_t at = rng() % image.size(), len = std::min<size_t>(rng() % 700, image.size() - at);
            std::fill(image.begin() + at, image.begin() + at + len, 0xFF);
        }
        break;
    case 1:  // code from 0, a table at 0x3000, 0xFF between
        image.assign(0x3000 + 256, 0xFF);
        for (size_t i = 0; i < 300 + rng() % 2000; ++i)
            image[i] = byte();
        for (size_t i = 0x3000; i < image.size(); ++i)
            image[i] = byte();
        break;
    case 2:  // short
        image.resize(1 + rng() % 64);
        for (uint8_t &b : image)
            b = byte();
        break;
    default:  // the whole area
        image.resize(UB1_AREA);
        for (uint8_t &b : image)
            b = byte();
    }
    return image;
}

Bytes random_old_flash(std::mt19937 &rng, const Bytes &image)
{
    Bytes flash(efm8sim::FLASH_SIZE, 0xFF);
    switch (rng() % 4) {
    case 0:  // blank
        break;
    case 1:  // something else entirely
        for (uint8_t &b : flash)
            b = uint8_t(rng());
        break;
    default:  // this image, as written before, with a few bytes changed or not
        flash = full_sequence_result(flash, image);
        for (int changes = rng() % 3; changes > 0; --changes)
            flash[rng() % image.size()] ^= uint8_t(1 + rng() % 255);
    }
    for (size_t i = 0x3A00; i < flash.size(); ++i)
        flash[i] = uint8_t(i);  // the bootloader's own area, never touched
    return flash;
}

efm8_options random_options(std::mt19937 &rng)
{
    static const uint32_t sizes[] = {1, 7, 32, 32, 64, 100, 128};
    efm8_options options = defaults();
    options.verify = rng() % 2;
    options.delta = rng() % 2;
    options.safe_order = rng() % 2;
    options.skip_blank = rng() % 2;
    options.run = rng() % 2;
    options.write_size = sizes[rng() % 7];
    return options;
}

struct ProgressLog {
    std::vector<uint32_t> done;
    std::vector<uint32_t> totals;
    static void record(void *user, efm8_phase, uint32_t done, uint32_t total)
    {
        auto *log = static_cast<ProgressLog *>(user);
        log->done.push_back(done);
        log->totals.push_back(total);
    }
};

// The board a round flashes: the hidapi stand-in's, or one behind a
// pseudo-terminal reached through the kernel's tty layer, an EFM8BB2 whose
// area takes the same images and whose limit is inferred, as the UB1's is.
enum class Link { Usb, Uart };

// One round: old flash, an image and options drawn at random, what the
// window's full sequence leaves on a twin board, and what the engine left
// on the board over the link.
struct Round {
    Bytes image;
    Bytes old;
    efm8_options options;
    Bytes expected;
    ProgressLog progress;
    efm8_report report;
    int32_t result = -1;
    Bytes flash;
    std::vector<Bytes> frames;
    bool in_bootloader = false;
};

void flash_over_usb(Round &round)
{
    hidsim::reset();
    hidsim::Device &board = hidsim::attach();
    board.model.flash() = round.old;
    round.result = flash(round.image, &round.options, &round.report);
    round.flash = board.model.flash();
    round.frames = board.model.frames();
    round.in_bootloader = board.model.on_bus();
}

const uint16_t BB2_ID = 0x3202;

const efm8_part &part_with_id(uint16_t id)
{
    size_t count;
    const efm8_part *parts = efm8_parts(&count);
    return *std::find_if(parts, parts + count, [id](const efm8_part &part) { return part.id == id; });
}

void flash_over_uart(Round &round)
{
    efm8sim::UartBoard board(efm8sim::layout_of(part_with_id(BB2_ID)), BB2_ID);
    {
        std::lock_guard<std::mutex> guard(board.lock());
        board.model().flash() = round.old;
    }
    efm8_session *session = nullptr;
    round.result = efm8_open_port(board.path().c_str(), nullptr, &session);
    if (round.result == EFM8_OK)
        round.result = efm8_flash(session, round.image.data(), uint32_t(round.image.size()), &round.options,
                                  &round.report);
    efm8_close(session);
    std::lock_guard<std::mutex> guard(board.lock());
    round.flash = board.model().flash();
    round.frames = board.model().frames();
    round.in_bootloader = board.model().on_bus();
}

// Round trips through the tty layer wait on wake-ups, not on the
// processor: boards flashed at once keep the rounds quick.
const int UART_BOARDS_AT_ONCE = 4;

void flash_over_uart(std::vector<Round> &rounds)
{
    std::atomic<size_t> next{0};
    std::vector<std::thread> boards;
    for (int i = 0; i < UART_BOARDS_AT_ONCE; ++i)
        boards.emplace_back([&] {
            for (size_t at = next++; at < rounds.size(); at = next++)
                flash_over_uart(rounds[at]);
        });
    for (std::thread &board : boards)
        board.join();
}

class EveryLink : public Engine, public ::testing::WithParamInterface<Link> {};

TEST_P(EveryLink, AnySuccessfulFlashLeavesWhatTheFullSequenceLeaves)
{
    std::mt19937 rng(20261207);
    std::vector<Round> rounds(150);
    for (Round &round : rounds) {
        round.image = random_image(rng);
        round.old = random_old_flash(rng, round.image);
        round.options = random_options(rng);
        round.options.progress = ProgressLog::record;
        round.options.progress_user = &round.progress;
        hidsim::reset();
        hidsim::Device &twin = hidsim::attach();
        twin.model.flash() = round.old;
        ASSERT_EQ(efm8_program(round.image.data(), uint32_t(round.image.size())), 0);
        round.expected = twin.model.flash();
    }
    if (GetParam() == Link::Usb)
        std::for_each(rounds.begin(), rounds.end(), [](Round &round) { flash_over_usb(round); });
    else
        flash_over_uart(rounds);

    for (size_t at = 0; at < rounds.size(); ++at) {
        const Round &round = rounds[at];
        const Bytes &image = round.image;
        const efm8_options &options = round.options;
        const ProgressLog &progress = round.progress;
        SCOPED_TRACE("round " + std::to_string(at) + ", " + std::to_string(image.size()) + " bytes, write size " +
                     std::to_string(options.write_size) + (options.delta ? ", delta" : "") +
                     (options.safe_order ? ", safe order" : "") + (options.skip_blank ? ", blank skip" : ""));
        ASSERT_EQ(round.result, EFM8_OK);
        ASSERT_EQ(round.flash, round.expected);
        EXPECT_EQ(round.in_bootloader, !options.run);

        ASSERT_FALSE(progress.done.empty());
        EXPECT_TRUE(std::is_sorted(progress.done.begin(), progress.done.end())) << "progress went back";
        EXPECT_EQ(progress.done.back(), image.size());
        EXPECT_EQ(progress.totals.back(), image.size());

        std::vector<Frame> frames;
        for (const Bytes &raw : round.frames)
            frames.push_back(parse(raw));
        EXPECT_EQ(round.report.commands, frames.size());
        // The size probe, a write of one 0xFF before anything is erased,
        // changes nothing and is not image data.
        const auto probe = std::find_if(frames.begin(), frames.end(), [](const Frame &f) { return carries_data(f); });
        ASSERT_NE(probe, frames.end());
        EXPECT_EQ(probe->command, EFM8_CMD_WRITE);
        EXPECT_EQ(probe->address, image.size() - 1);
        EXPECT_EQ(probe->data, Bytes{0xFF});
        frames.erase(frames.begin(), probe + 1);
        size_t first_erase = frames.size(), write_of_0 = frames.size(), last_data = 0;
        for (size_t i = 0; i < frames.size(); ++i) {
            const Frame &f = frames[i];
            if (!carries_data(f))
                continue;
            first_erase = std::min(first_erase, f.command == EFM8_CMD_ERASE ? i : frames.size());
            if (f.command == EFM8_CMD_WRITE && f.address == 0)
                write_of_0 = i;
            last_data = i;
            if (options.skip_blank && !f.data.empty()) {
                EXPECT_FALSE(std::all_of(f.data.begin(), f.data.end(), [](uint8_t b) { return b == 0xFF; }))
                    << "a blank chunk was written at " << f.address;
            }
            EXPECT_LE(f.data.size(), options.write_size);
        }
        if (options.safe_order && first_erase < frames.size()) {
            EXPECT_EQ(frames[first_erase].address, 0u) << "page 0 is erased first";
            EXPECT_TRUE(frames[first_erase].data.empty());
            if (write_of_0 < frames.size()) {
                EXPECT_EQ(write_of_0, last_data) << "address 0 is written last";
            }
        }
        if (options.delta && round.old == full_sequence_result(round.old, image)) {
            EXPECT_EQ(last_data, 0u) << "an unchanged image is neither erased nor written";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Links, EveryLink, ::testing::Values(Link::Usb, Link::Uart),
                         [](const ::testing::TestParamInfo<Link> &info) {
                             return info.param == Link::Usb ? "HidapiStandIn" : "UartBoard";
                         });

// A page that differs from the image but has the same whole-page CRC.
TEST_F(Engine, DeltaChecksHalfPagesSoAWholePageCollisionIsRewritten)
{
    Bytes image(2048);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i * 29 + 1);
    Bytes old = full_sequence_result(Bytes(efm8sim::FLASH_SIZE, 0xFF), image);
    // A difference whose CRC over the page is 0: one bit in the first half,
    // then its CRC in the page's last two bytes.
    const size_t page = 2 * 512;
    Bytes difference(512, 0);
    difference[10] = 0x01;
    const uint16_t crc = efm8sim::crc16_xmodem(difference.data(), 510);
    difference[510] = uint8_t(crc >> 8);
    difference[511] = uint8_t(crc);
    for (size_t i = 0; i < 512; ++i)
        old[page + i] ^= difference[i];
    ASSERT_EQ(efm8sim::crc16_xmodem(&old[page], 512), efm8sim::crc16_xmodem(&image[page], 512));

    hidsim::Device &board = hidsim::attach();
    board.model.flash() = old;
    efm8_options options = defaults();
    options.delta = 1;
    efm8_report report;
    ASSERT_EQ(flash(image, &options, &report), EFM8_OK);
    EXPECT_EQ(board.model.flash(), full_sequence_result(old, image));
    EXPECT_EQ(report.pages_skipped, 2u) << "pages 1 and 3; page 0 is rewritten with any other";
}

// A fault at every command of a delta and of a full flash: never a false
// success, nothing sent after the fault, and a load cut off between page 0's
// erase and the write of address 0 leaves byte 0 erased.

enum class Fault { FailedSend, FailedRead, ShortReply, Vanish, Refusal };

void inject(hidsim::Device &device, Fault fault, size_t index)
{
    switch (fault) {
    case Fault::FailedSend: device.fail_send = index; break;
    case Fault::FailedRead: device.fail_read = index; break;
    case Fault::ShortReply: device.short_read = index; break;
    case Fault::Vanish: device.model.vanish_after_command(index); break;
    case Fault::Refusal: device.model.answer_command_with(index, 0x41); break;
    }
}

void expect_every_fault_reported(const Bytes &image, const Bytes &old, const efm8_options &options)
{
    hidsim::reset();
    hidsim::Device &clean = hidsim::attach();
    clean.model.flash() = old;
    ASSERT_EQ(flash(image, &options), EFM8_OK);
    const auto frames = clean.model.frames();
    size_t erase_of_0 = frames.size(), write_of_0 = frames.size();
    for (size_t i = 0; i < frames.size(); ++i) {
        const Frame f = parse(frames[i]);
        if (f.address == 0 && f.command == EFM8_CMD_ERASE && erase_of_0 == frames.size())
            erase_of_0 = i;
        if (f.address == 0 && f.command == EFM8_CMD_WRITE)
            write_of_0 = i;
    }
    ASSERT_LT(erase_of_0, write_of_0);
    ASSERT_LT(write_of_0, frames.size());

    size_t size_probe = frames.size();
    for (size_t i = 0; i < frames.size() && size_probe == frames.size(); ++i)
        if (carries_data(parse(frames[i])))
            size_probe = i;
    for (Fault fault : {Fault::FailedSend, Fault::FailedRead, Fault::ShortReply, Fault::Vanish, Fault::Refusal}) {
        for (size_t index = 0; index < frames.size(); ++index) {
            if (fault == Fault::Refusal && frames[index][2] == EFM8_CMD_IDENTIFY)
                continue;  // another reply to identify only means another part
            SCOPED_TRACE("fault " + std::to_string(int(fault)) + " at command " + std::to_string(index));
            hidsim::reset();
            hidsim::Device &board = hidsim::attach();
            board.model.flash() = old;
            inject(board, fault, index);
            efm8_report report;
            const int32_t result = flash(image, &options, &report);
            const int32_t refused = index == size_probe ? EFM8_ERR_SIZE : EFM8_ERR_REFUSED;
            ASSERT_EQ(result, fault == Fault::Refusal ? refused : EFM8_ERR_TRANSFER);
            EXPECT_EQ(board.sends, index + 1) << "nothing is sent after a fault";
            EXPECT_EQ(board.closes, 1);
            EXPECT_EQ(report.commands, index + 1);
            EXPECT_EQ(report.command, frames[index][2]);
            EXPECT_EQ(report.reply, fault == Fault::Refusal ? 0x41 : -1);
            // A failed send is the one fault whose command never arrived.
            auto arrived = [&](size_t command) {
                return command < index || (command == index && fault != Fault::FailedSend);
            };
            if (arrived(erase_of_0) && !arrived(write_of_0)) {
                EXPECT_EQ(board.model.flash()[0], 0xFF) << "the chip must stay in its bootloader";
            }
        }
    }
}

TEST_F(Engine, EveryFaultOfAFullFlashIsReported)
{
    Bytes image(4000);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = i >= 1000 && i < 1700 ? 0xFF : uint8_t(i * 3 + 1);
    expect_every_fault_reported(image, Bytes(efm8sim::FLASH_SIZE, 0x00), defaults());
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
    expect_every_fault_reported(image, old, options);
}

// Other parts, refusals and what a report says.

TEST_F(Engine, UnknownDerivativesAreSizedByTheBootloaderBeforeAnythingIsErased)
{
    for (uint16_t product : {0xEACA, 0xEACB}) {
        hidsim::reset();
        hidsim::Device &board = hidsim::attach(0x10C4, product);
        board.model.set_flash_layout(0x10000, 0x8000);
        Bytes image(0x7000);
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = uint8_t(i ^ i >> 8);
        ASSERT_EQ(flash(image, nullptr), EFM8_OK) << "beyond the EFM8UB1's area";
        EXPECT_TRUE(std::equal(image.begin(), image.end(), board.model.flash().begin()));

        hidsim::reset();
        hidsim::Device &small = hidsim::attach(0x10C4, product);
        small.model.set_flash_layout(0x10000, 0x8000);
        small.model.flash()[0] = 0x12;
        image.resize(0x8100, 0x00);
        efm8_report report;
        ASSERT_EQ(flash(image, nullptr, &report), EFM8_ERR_SIZE);
        EXPECT_EQ(report.command, EFM8_CMD_WRITE);
        EXPECT_EQ(report.address, 0x80FFu);
        EXPECT_EQ(report.reply, 'A');
        for (const Bytes &frame : small.model.frames())
            EXPECT_NE(frame[2], EFM8_CMD_ERASE) << "nothing is erased";
        EXPECT_EQ(small.model.flash()[0], 0x12);
        char text[200];
        efm8_describe(&report, text, sizeof text);
        EXPECT_STREQ(text, product == 0xEACA ? "the image does not fit this EFM8UB2: its bootloader refuses address "
                                               "0x80FF, the image's last (nothing was erased)"
                                             : "the image does not fit this EFM8UB3: its bootloader refuses address "
                                               "0x80FF, the image's last (nothing was erased)");
    }
}

TEST_F(Engine, AKnownPartsLimitComesFromTheTableAndOnlyIdentifyIsSent)
{
    hidsim::Device &board = hidsim::attach(0x10C4, 0xEACB);
    board.model.set_identity(0x3601);
    board.model.set_flash_layout(0x10000, 0x9A00);
    const Bytes image(0x9A01, 0x5A);
    efm8_report report;
    ASSERT_EQ(flash(image, nullptr, &report), EFM8_ERR_SIZE);
    EXPECT_STREQ(report.part->name, "EFM8UB31F40G-QFN24");
    EXPECT_EQ(report.limit, 0x9A00u);
    for (const Bytes &frame : board.model.frames())
        EXPECT_EQ(frame[2], EFM8_CMD_IDENTIFY);
    char text[200];
    efm8_describe(&report, text, sizeof text);
    EXPECT_STREQ(text, "the image is larger than the EFM8UB31F40G-QFN24's application area of 39424 bytes "
                       "(0x0000-0x99FF); nothing was erased");
    EXPECT_EQ(flash(Bytes(0x9A00, 0x5A), nullptr), EFM8_OK);
}

TEST_F(Engine, BadSizesAndOptionsSendNothing)
{
    hidsim::Device &board = hidsim::attach();
    efm8_options options = defaults();
    EXPECT_EQ(with_session([&](efm8_session *s) { return efm8_flash(s, nullptr, 0, &options, nullptr); }),
              EFM8_ERR_SIZE);
    options.write_size = 129;
    EXPECT_EQ(flash(Bytes(10, 1), &options), EFM8_ERR_OPTIONS);
    EXPECT_EQ(board.sends, 0u);
}

TEST_F(Engine, AnImageBeyondTheUb1sAreaIsRefusedAfterIdentifyAlone)
{
    hidsim::Device &board = hidsim::attach();
    efm8_report report;
    EXPECT_EQ(flash(Bytes(UB1_AREA + 1, 0x11), nullptr, &report), EFM8_ERR_SIZE);
    EXPECT_EQ(report.limit, UB1_AREA);
    for (const Bytes &frame : board.model.frames())
        EXPECT_EQ(frame[2], EFM8_CMD_IDENTIFY);
}

TEST_F(Engine, VerifyOnlyNamesThePagesThatDifferAndWritesNothing)
{
    Bytes image(3000);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i * 7);
    hidsim::Device &board = hidsim::attach();
    board.model.flash() = full_sequence_result(board.model.flash(), image);
    EXPECT_EQ(with_session([&](efm8_session *s) { return efm8_verify(s, image.data(), 3000, nullptr); }), EFM8_OK);
    board.model.flash()[1 * 512 + 400] ^= 0x01;  // second half of page 1
    board.model.flash()[2999 + 1] = 0x00;        // the padding after the image, page 5
    const Bytes before = board.model.flash();
    efm8_report report;
    EXPECT_EQ(with_session([&](efm8_session *s) { return efm8_verify(s, image.data(), 3000, &report); }),
              EFM8_ERR_MISMATCH);
    EXPECT_EQ(report.pages_differ, 2u);
    for (uint32_t page = 0; page < 8; ++page)
        EXPECT_EQ(efm8_page_differs(&report, page), page == 1 || page == 5) << page;
    EXPECT_EQ(board.model.flash(), before);
    for (const Bytes &frame : board.model.frames())
        EXPECT_TRUE(frame[2] == EFM8_CMD_IDENTIFY || frame[2] == EFM8_CMD_SETUP || frame[2] == EFM8_CMD_VERIFY);
}

TEST_F(Engine, AFailedVerifyLeavesTheBoardInItsBootloader)
{
    hidsim::Device &board = hidsim::attach();
    const Bytes image(600, 0x3C);
    efm8_options options = defaults();
    // Three identify probes, setup, the size probe, page 0's erase and 15
    // writes, page 1's erase and 2 writes, the write at 0, and the check
    // before run application.
    const size_t commands = 3 + 1 + 1 + 1 + 15 + 1 + 2 + 1 + 1;
    board.model.answer_command_with(commands - 1, 0x43);
    efm8_report report;
    EXPECT_EQ(flash(image, &options, &report), EFM8_ERR_MISMATCH);
    EXPECT_EQ(report.commands, commands);
    EXPECT_TRUE(board.model.on_bus()) << "no run application after a mismatch";
}

TEST_F(Engine, IdentifyNamesTheDerivativeAndTheVersion)
{
    efm8_identity identity;
    auto identify = [&](efm8_session *s) { return efm8_identify(s, &identity, nullptr); };
    hidsim::Device &board = hidsim::attach();
    board.model.set_identity(0x3249);
    ASSERT_EQ(with_session(identify), EFM8_OK);
    ASSERT_NE(identity.part, nullptr);
    EXPECT_STREQ(identity.part->name, "EFM8UB10F8G-QFN20");
    EXPECT_EQ(identity.app_limit, 0x1A00u);
    EXPECT_EQ(identity.version, 0x90);
    board.model.set_identity(0x3250);
    ASSERT_EQ(with_session(identify), EFM8_OK);
    EXPECT_EQ(identity.part, nullptr);
    EXPECT_STREQ(identity.family->name, "EFM8UB1");
    hidsim::reset();
    hidsim::Device &ub2 = hidsim::attach(0x10C4, 0xEACA);
    ASSERT_EQ(with_session(identify), EFM8_OK);
    EXPECT_STREQ(identity.family->name, "EFM8UB2");
    EXPECT_EQ(ub2.sends, 1u) << "no UB2 derivative is documented: only the version is asked";
}

// Locking: only after a verified flash, bits only ever clear, and what the
// bytes hold afterwards is read back by CRC.
TEST_F(Engine, LockComesOnlyAfterAVerifiedFlashAndIsReadBack)
{
    hidsim::Device &board = hidsim::attach();
    board.model.set_identity(0x3241);
    efm8_options options = defaults();
    options.lock = 1;
    options.lock_signature = 0xFF;
    options.lock_byte = efm8_lock_byte_for(3);
    options.verify = 0;
    EXPECT_EQ(flash(Bytes(700, 0x21), &options), EFM8_ERR_OPTIONS);
    options.verify = 1;
    efm8_report plain;
    ASSERT_EQ(flash(Bytes(700, 0x21), nullptr, &plain), EFM8_OK);
    board.model.reset_into_bootloader();
    // The same sequence, its final CRC check (before run application) failing.
    board.model.answer_command_with(board.model.frames().size() + plain.commands - 2, 0x43);
    EXPECT_EQ(flash(Bytes(700, 0x21), &options), EFM8_ERR_MISMATCH);
    EXPECT_EQ(board.model.lock_byte(), 0xFF) << "a failed flash never locks";

    efm8_report report;
    ASSERT_EQ(flash(Bytes(700, 0x21), &options, &report), EFM8_OK);
    EXPECT_EQ(board.model.lock_byte(), 0xFC);
    EXPECT_TRUE(report.locked);
    EXPECT_EQ(report.lock_value, 0xFC);
    EXPECT_EQ(report.signature_value, 0xA5);
    const auto &frames = board.model.frames();
    const auto lock = std::find_if(frames.begin(), frames.end(), [](const Bytes &f) { return f[2] == EFM8_CMD_LOCK; });
    ASSERT_NE(lock, frames.end());
    EXPECT_EQ(std::prev(lock)->at(2), EFM8_CMD_VERIFY) << "the lock follows the verify";

    board.model.reset_into_bootloader();
    ASSERT_EQ(with_session([&](efm8_session *s) { return efm8_lock(s, 0xFF, 0xF3, &report); }), EFM8_OK);
    EXPECT_EQ(report.lock_value, 0xF0) << "a later lock only adds pages";
}

TEST_F(Engine, CheckIdsAcceptsAnyOneOfThem)
{
    hidsim::Device &board = hidsim::attach();
    const uint16_t others[] = {0x3241, 0x3249};
    const uint16_t with_it[] = {0x3241, 0x3245};
    efm8_report report;
    EXPECT_EQ(with_session([&](efm8_session *s) { return efm8_check_ids(s, others, 2, &report); }),
              EFM8_ERR_WRONG_PART);
    EXPECT_STREQ(report.part->name, "EFM8UB11F16G-QSOP24");
    EXPECT_EQ(with_session([&](efm8_session *s) { return efm8_check_ids(s, with_it, 2, nullptr); }), EFM8_OK);
    EXPECT_EQ(board.model.frames().back()[2], EFM8_CMD_IDENTIFY);
}

TEST_F(Engine, ATransferFailureIsDescribedWithHidapisText)
{
    hidsim::Device &board = hidsim::attach();
    board.fail_read = 7;  // three identify probes, setup, the size probe, page 0's erase, two writes
    efm8_report report;
    ASSERT_EQ(flash(Bytes(100, 0x01), nullptr, &report), EFM8_ERR_TRANSFER);
    char text[300];
    efm8_describe(&report, text, sizeof text);
    EXPECT_NE(std::string(text).find("the USB transfer of the write at 0x0040 failed"), std::string::npos) << text;
    EXPECT_NE(std::string(text).find("simulated hidapi: operation not supported"), std::string::npos) << text;
    EXPECT_NE(std::string(text).find("unplugged or reset"), std::string::npos) << text;
}

}  // namespace
