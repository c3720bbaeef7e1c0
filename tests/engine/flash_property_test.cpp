// What a flash leaves, whatever the options: a property over random old
// flash, random images and random option sets, over the hidapi stand-in and
// over a UART board, with the window's own sequence on a twin board as the
// oracle; and what the flash sent: its final verify over every page the
// image spans, the order of its erases and writes. The seed is fixed, so a
// run that passes always passes.
#include "engine_helpers.h"
#include "gui/lib.h"

#include "uart_board.h"

#include <atomic>
#include <random>
#include <string>
#include <thread>

namespace enginetest {
namespace {

// The board a round flashes: the hidapi stand-in's EFM8UB1, or an EFM8BB2
// behind a pseudo-terminal reached through the kernel's tty layer, whose
// limit is inferred, as the UB1's is.
enum class Link { Usb, Uart };

const uint16_t BB2_ID = 0x3202;

uint32_t area_of(Link link)
{
    return link == Link::Usb ? UB1_AREA : part_with_id(BB2_ID).app_limit;
}

// Sizes of every kind: a whole number of pages (the final verify's edge),
// a byte either side of a page's end, one byte, the part's whole area.
Bytes random_image(std::mt19937 &rng, uint32_t area)
{
    auto byte = [&] { return uint8_t(rng()); };
    Bytes image;
    switch (rng() % 7) {
    case 0:  // dense, with runs of 0xFF
        image.resize(1 + rng() % area);
        for (uint8_t &b : image)
            b = byte();
        for (int runs = rng() % 6; runs > 0; --runs) {
            const size_t at = rng() % image.size(), len = std::min<size_t>(rng() % 700, image.size() - at);
            std::fill(image.begin() + at, image.begin() + at + len, 0xFF);
        }
        return image;
    case 1:  // code from 0, a table at 0x3000, 0xFF between
        image.assign(0x3000 + 256, 0xFF);
        for (size_t i = 0; i < 300 + rng() % 2000; ++i)
            image[i] = byte();
        for (size_t i = 0x3000; i < image.size(); ++i)
            image[i] = byte();
        return image;
    case 2:  // short
        image.resize(1 + rng() % 64);
        break;
    case 3:  // the whole area
        image.resize(area);
        break;
    case 4:  // a whole number of pages
        image.resize(PAGE * (1 + rng() % (area / PAGE)));
        break;
    case 5: {  // a byte short of a page's end, or a byte past it
        const uint32_t end = PAGE * (1 + rng() % (area / PAGE - 1));
        image.resize(rng() % 2 ? end - 1 : end + 1);
        break;
    }
    default:
        image.resize(1);
    }
    for (uint8_t &b : image)
        b = byte();
    return image;
}

Bytes random_old_flash(std::mt19937 &rng, const Bytes &image, uint32_t area)
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
    for (size_t i = area; i < flash.size(); ++i)
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

// The window's sequence takes no more than the UB1's area; past it, what
// it would leave is the image, then 0xFF to the end of its last page.
Bytes oracle(const Round &round)
{
    if (round.image.size() > UB1_AREA)
        return full_sequence_result(round.old, round.image);
    hidsim::reset();
    hidsim::Device &twin = hidsim::attach();
    twin.model.flash() = round.old;
    EXPECT_EQ(efm8_program(round.image.data(), uint32_t(round.image.size())), 0);
    return twin.model.flash();
}

// Erases and writes come in the order the options ask, and the final
// verify is one CRC check of every page the image spans, sent after the
// last of them whenever verify is on and anything was written, else none.
void expect_frames_as_asked(const Round &round, std::vector<Frame> frames)
{
    const Bytes &image = round.image;
    const efm8_options &options = round.options;
    // The size probe, a write of one 0xFF before anything is erased,
    // changes nothing and is not image data.
    const auto probe = std::find_if(frames.begin(), frames.end(), [](const Frame &f) { return carries_data(f); });
    ASSERT_NE(probe, frames.end());
    EXPECT_EQ(probe->command, EFM8_CMD_WRITE);
    EXPECT_EQ(probe->address, image.size() - 1);
    EXPECT_EQ(probe->data, Bytes{0xFF});
    frames.erase(frames.begin(), probe + 1);
    size_t first_erase = frames.size(), write_of_0 = frames.size(), last_data = 0;
    bool wrote = false;
    for (size_t i = 0; i < frames.size(); ++i) {
        const Frame &f = frames[i];
        if (!carries_data(f))
            continue;
        wrote = true;
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
        EXPECT_FALSE(wrote) << "an unchanged image is neither erased nor written";
    }

    const uint32_t span_end = uint32_t((image.size() + PAGE - 1) / PAGE * PAGE - 1);
    std::vector<size_t> finals;
    for (size_t i = 0; i < frames.size(); ++i)
        if (frames[i].command == EFM8_CMD_VERIFY && check_of(frames[i]).start == 0 &&
            check_of(frames[i]).end == span_end)
            finals.push_back(i);
    if (!options.verify || !wrote) {
        EXPECT_TRUE(finals.empty()) << "a final verify without verify asked, or after nothing was written";
        return;
    }
    ASSERT_EQ(finals.size(), 1u) << "no single verify of 0x0000 to " << span_end << " after the flash";
    EXPECT_GT(finals[0], last_data) << "the final verify comes after every erase and write";
    EXPECT_EQ(check_of(frames[finals[0]]).crc, image_crc(image, 0, span_end));
    EXPECT_EQ(frames.back().command, options.run ? EFM8_CMD_RUNAPP : EFM8_CMD_VERIFY);
}

class EveryLink : public Engine, public ::testing::WithParamInterface<Link> {};

TEST_P(EveryLink, AnySuccessfulFlashLeavesWhatTheFullSequenceLeavesAndIsVerifiedAsAsked)
{
    std::mt19937 rng(20261207);
    const uint32_t area = area_of(GetParam());
    std::vector<Round> rounds(160);
    for (Round &round : rounds) {
        round.image = random_image(rng, area);
        round.old = random_old_flash(rng, round.image, area);
        round.options = random_options(rng);
        round.options.progress = ProgressLog::record;
        round.options.progress_user = &round.progress;
        round.expected = oracle(round);
    }
    // The rounds cover the edges the final verify must get right.
    auto verified = [&](auto size_is) {
        return std::any_of(rounds.begin(), rounds.end(),
                           [&](const Round &round) { return round.options.verify && size_is(round.image.size()); });
    };
    ASSERT_TRUE(verified([](size_t size) { return size == 1; }));
    ASSERT_TRUE(verified([&](size_t size) { return size % PAGE == 0 && size < area; }));
    ASSERT_TRUE(verified([&](size_t size) { return size == area; }));
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
                     std::to_string(options.write_size) + (options.verify ? ", verify" : "") +
                     (options.delta ? ", delta" : "") + (options.safe_order ? ", safe order" : "") +
                     (options.skip_blank ? ", blank skip" : ""));
        ASSERT_EQ(round.result, EFM8_OK);
        ASSERT_EQ(round.flash, round.expected);
        // The run command resets the chip, which stays in its bootloader
        // while byte 0 is 0xFF.
        EXPECT_EQ(round.in_bootloader, !options.run || image[0] == 0xFF);
        EXPECT_EQ(round.report.page_size, PAGE);

        ASSERT_FALSE(progress.done.empty());
        EXPECT_TRUE(std::is_sorted(progress.done.begin(), progress.done.end())) << "progress went back";
        EXPECT_EQ(progress.done.back(), image.size());
        EXPECT_EQ(progress.totals.back(), image.size());

        std::vector<Frame> frames;
        for (const Bytes &raw : round.frames)
            frames.push_back(parse(raw));
        EXPECT_EQ(round.report.commands, frames.size());
        expect_frames_as_asked(round, frames);
    }
}

// Verify alone checks every block the image spans, whatever its size: a
// byte changed anywhere in the image or the 0xFF after it to the end of its
// last page names that page alone, and a chip that holds the image passes.
TEST_F(Engine, VerifyFindsAChangeAnywhereInThePagesTheImageSpans)
{
    std::mt19937 rng(20261208);
    for (int round = 0; round < 200; ++round) {
        const Bytes image = random_image(rng, UB1_AREA);
        const uint32_t pages = uint32_t((image.size() + PAGE - 1) / PAGE);
        Bytes chip = full_sequence_result(Bytes(efm8sim::FLASH_SIZE, 0x00), image);
        const bool changed = rng() % 4 != 0;
        const uint32_t at = uint32_t(rng() % (pages * PAGE));
        if (changed)
            chip[at] ^= uint8_t(1 + rng() % 255);
        SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(image.size()) + " bytes" +
                     (changed ? ", byte " + std::to_string(at) + " changed" : ""));
        hidsim::reset();
        hidsim::Device &board = hidsim::attach();
        board.model.flash() = chip;
        efm8_report report;
        const int32_t result = with_session([&](efm8_session *s) {
            return efm8_verify(s, image.data(), uint32_t(image.size()), &report);
        });
        ASSERT_EQ(result, changed ? EFM8_ERR_MISMATCH : EFM8_OK);
        EXPECT_EQ(report.pages_differ, changed ? 1u : 0u);
        for (uint32_t page = 0; page < EFM8_MAX_PAGES; ++page)
            ASSERT_EQ(efm8_page_differs(&report, page), changed && page == at / PAGE) << "page " << page;
        EXPECT_EQ(board.model.flash(), chip) << "verify writes nothing";
    }
}

INSTANTIATE_TEST_SUITE_P(Links, EveryLink, ::testing::Values(Link::Usb, Link::Uart),
                         [](const ::testing::TestParamInfo<Link> &info) {
                             return info.param == Link::Usb ? "HidapiStandIn" : "UartBoard";
                         });

}  // namespace
}  // namespace enginetest
