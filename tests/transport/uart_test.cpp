// The engine over the UART transport, through the kernel's tty layer to
// simulated boards behind pseudo-terminals: what goes on the line, every
// part of the table at its limit, the port's settings, stale input,
// exclusivity and why an open fails, and boards at once. (A fault at every
// command is in uart_fault_test.cpp, replies late or never in
// uart_timeout_test.cpp.)
#include "uart_helpers.h"
#include "without_file_override.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <cerrno>
#include <thread>
#include <utility>

namespace uarttest {
namespace {

// The line carries the training byte, then exactly the records, with every
// byte as it was sent: an image of the bytes a terminal would act on (and
// of reply codes and '$'), with write sizes whose length byte is one of
// them too, lands exactly, and the version byte 0x90 comes back whole.

const uint8_t TOUCHY_BYTES[] = {0x00, 0x03, 0x0A, 0x0D, 0x11, 0x13, 0x1A, 0x7F, 0xFF,
                                '$',  0x40, 0x41, 0x42, 0x43, 0x90};

Bytes touchy_image(size_t count, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes image(count);
    for (uint8_t &b : image)
        b = TOUCHY_BYTES[rng() % sizeof TOUCHY_BYTES];
    return image;
}

TEST(Uart, TheLineCarriesTheTrainingByteThenExactlyTheRecords)
{
    const efm8_part &part = part_named("EFM8BB10F8G-QFN20");
    // A record's length byte is its data bytes plus 3: LF, CR, XON, XOFF,
    // ^Z and DEL; page 0's erase without data has ^C.
    for (uint32_t write_size : {7u, 10u, 14u, 16u, 23u, 124u, 128u}) {
        SCOPED_TRACE("write size " + std::to_string(write_size));
        auto board = board_of(part);
        const Bytes factory = flash_of(*board);
        const Bytes image = touchy_image(part.app_limit, write_size);
        efm8_options options;
        efm8_default_options(&options);
        options.write_size = write_size;
        Session session(*board);
        ASSERT_EQ(session.opened(), EFM8_OK);
        efm8_identity identity;
        ASSERT_EQ(efm8_identify(session.get(), &identity, nullptr), EFM8_OK);
        EXPECT_EQ(identity.part, &part);
        EXPECT_EQ(identity.version, 0x90);
        efm8_report report;
        ASSERT_EQ(session.flash(image, &options, &report), EFM8_OK);

        Bytes expected = factory;
        std::copy(image.begin(), image.end(), expected.begin());
        EXPECT_EQ(flash_of(*board), expected);
        const std::vector<Bytes> frames = frames_of(*board);
        EXPECT_EQ(board->received(), line_of(frames));
        EXPECT_EQ(board->sent(), frames.size()) << "one reply per record";
        EXPECT_EQ(report.commands, frames.size() - 3) << "identify's two probes and version request came before";
    }
}

// Every UART part of the table, a board of each part whose limit the table
// only infers with its bootloader a page lower, and a board of the family
// whose derivatives the table lacks, found by probing its device id: an
// image up to the board's limit lands, one byte more is refused before
// anything is erased, by the table where it knows the limit and otherwise
// by the bootloader.

struct BoardKind {
    std::string name;
    efm8sim::Layout layout;
    uint16_t identity;
    const efm8_part *part;  // nullptr: not in the table
    uint32_t limit() const { return layout.app_end; }
    bool table_refuses() const { return part != nullptr && part->app_limit == layout.app_end; }
};

// An EFM8SB20F32G's 32 KB in 1 KB pages, the bootloader in the last; the
// table knows neither its derivative nor its limit.
const efm8sim::Layout SB2_LAYOUT = {0x8000, 0x7C00, 1024, 0x7FFF};
const uint16_t SB2_IDENTITY = 0x1641;

std::vector<BoardKind> board_kinds()
{
    std::vector<BoardKind> kinds;
    size_t count;
    const efm8_part *parts = efm8_parts(&count);
    for (size_t i = 0; i < count; ++i) {
        const efm8_part &part = parts[i];
        if (part.interface != EFM8_UART)
            continue;
        const efm8sim::Layout layout = efm8sim::layout_of(part);
        kinds.push_back({part.name, layout, part.id, &part});
        if (part.limit_inferred) {
            efm8sim::Layout lower = layout;
            lower.app_end -= uint32_t(layout.page_size);
            kinds.push_back({std::string(part.name) + "_bootloader_a_page_lower", lower, part.id, &part});
        }
    }
    kinds.push_back({"EFM8SB2_unknown_derivative", SB2_LAYOUT, SB2_IDENTITY, nullptr});
    return kinds;
}

class EveryPart : public ::testing::TestWithParam<BoardKind> {};

TEST_P(EveryPart, AnImageAtTheLimitLandsAndOneBytePastIsRefusedWithNothingErased)
{
    const BoardKind &kind = GetParam();
    UartBoard board(kind.layout, kind.identity);
    Bytes old = flash_of(board);
    std::fill(old.begin(), old.begin() + kind.limit(), 0x00);
    load(board, old);
    Bytes image = random_bytes(kind.limit() + 1, kind.identity);
    Session session(board);
    ASSERT_EQ(session.opened(), EFM8_OK);

    efm8_report report;
    ASSERT_EQ(session.flash(image, nullptr, &report), EFM8_ERR_SIZE);
    EXPECT_EQ(report.part, kind.part);
    EXPECT_EQ(report.page_size, kind.layout.page_size);
    if (kind.table_refuses()) {
        EXPECT_EQ(report.limit, kind.limit());
        for (const Bytes &frame : frames_of(board))
            EXPECT_EQ(frame[2], EFM8_CMD_IDENTIFY) << "the table settles it";
    } else {
        EXPECT_EQ(report.command, EFM8_CMD_WRITE) << "the bootloader is asked";
        EXPECT_EQ(report.address, kind.limit());
        EXPECT_EQ(report.reply, EFM8_REPLY_RANGE);
        for (const Bytes &frame : frames_of(board))
            EXPECT_NE(frame[2], EFM8_CMD_ERASE);
    }
    EXPECT_EQ(flash_of(board), old);

    image.pop_back();
    ASSERT_EQ(session.flash(image, nullptr, &report), EFM8_OK);
    Bytes expected = old;
    std::copy(image.begin(), image.end(), expected.begin());
    EXPECT_EQ(flash_of(board), expected) << "the image, and the bootloader's area as it was";
}

INSTANTIATE_TEST_SUITE_P(Table, EveryPart, ::testing::ValuesIn(board_kinds()),
                         [](const ::testing::TestParamInfo<BoardKind> &info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// The port as the session left it: raw at the speed asked, one stop bit,
// no flow control, no character of the image or of a reply acted on. A
// pseudo-terminal forces 8 data bits, no parity and the receiver on
// whatever is asked, so those are not checked here.
TEST(Uart, ThePortIsRawAtTheSpeedAsked)
{
    const std::pair<uint32_t, speed_t> speeds[] = {
        {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}};
    for (const auto &[baud, speed] : speeds) {
        SCOPED_TRACE(std::to_string(baud) + " baud");
        auto board = board_of(part_named("EFM8BB10F8G-QFN20"));
        const termios fresh = board->line_settings();
        ASSERT_TRUE(fresh.c_lflag & ICANON) << "the line starts cooked at 9600 baud";
        ASSERT_EQ(cfgetospeed(&fresh), speed_t(B9600));
        Session session(*board, port_settings(EFM8_TIMEOUT_DEFAULT_MS, baud));
        ASSERT_EQ(session.opened(), EFM8_OK);
        const termios line = board->line_settings();
        EXPECT_EQ(cfgetospeed(&line), speed);
        EXPECT_EQ(cfgetispeed(&line), speed);
        EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
        EXPECT_EQ(line.c_oflag & OPOST, 0u);
        EXPECT_EQ(line.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY | PARMRK | BRKINT), 0u);
        EXPECT_EQ(line.c_cflag & (CSTOPB | CRTSCTS), 0u);
        EXPECT_TRUE(line.c_cflag & CLOCAL) << "the adapter's modem lines do not gate the port";
    }
}

// Bytes on the line before the session (an application's output, noise,
// even reply codes) are dropped: identify would otherwise take them for
// answers. So are bytes that come between two calls.
TEST(Uart, StaleInputIsDroppedAndDoesNotDisturbTheFlash)
{
    const efm8_part &part = part_named("EFM8LB12F64E-QFN32");
    auto board = board_of(part);
    const Bytes stale = {'@', '@', 'B', '@', 0x90, 'A', '@', 0x00, 0x13, '@'};
    board->say(stale);
    Session session(*board);
    ASSERT_EQ(session.opened(), EFM8_OK);
    efm8_identity identity;
    ASSERT_EQ(efm8_identify(session.get(), &identity, nullptr), EFM8_OK);
    EXPECT_EQ(identity.part, &part);
    board->say(stale);
    const Bytes image = random_bytes(5000, 5);
    ASSERT_EQ(session.flash(image), EFM8_OK);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash_of(*board).begin()));
    EXPECT_EQ(board->received(), line_of(frames_of(*board)));
}

// Whether another program would find the port held: its open refused, or
// (for root, whom TIOCEXCL lets in) the port marked exclusive.
bool held_exclusively(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY;
    int exclusive = 0;
    ioctl(fd, TIOCGEXCL, &exclusive);
    close(fd);
    return exclusive != 0;
}

TEST(Uart, APortIsHeldByOneSessionAtATimeAndAFailedOpenSaysWhy)
{
    auto board = board_of(part_named("EFM8BB10F8G-QFN20"));
    const std::string path = board->path();
    efm8_session *other = nullptr;
    {
        Session first(*board);
        ASSERT_EQ(first.opened(), EFM8_OK);
        EXPECT_EQ(efm8_open_port(path.c_str(), nullptr, &other), EFM8_ERR_BUSY);
        EXPECT_EQ(other, nullptr);
        EXPECT_TRUE(held_exclusively(path)) << "a refused open does not release the first session's hold";
        EXPECT_EQ(efm8_ping(first.get(), nullptr), EFM8_OK);
    }
    EXPECT_FALSE(held_exclusively(path));

    // Another program holding the port's lock, as picocom does.
    int program = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(program, 0);
    ASSERT_EQ(flock(program, LOCK_EX), 0);
    EXPECT_EQ(efm8_open_port(path.c_str(), nullptr, &other), EFM8_ERR_BUSY);
    close(program);
    // An exclusive flag without the lock, as a killed process leaves it:
    // the kernel refuses everyone's open but root's, and root takes it.
    program = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(program, 0);
    ioctl(program, TIOCEXCL);
    if (geteuid() == 0) {
        ASSERT_EQ(efm8_open_port(path.c_str(), nullptr, &other), EFM8_OK);
        EXPECT_EQ(efm8_ping(other, nullptr), EFM8_OK);
        efm8_close(other);
        other = nullptr;
        EXPECT_FALSE(held_exclusively(path)) << "the flag taken over is cleared at close";
    } else {
        EXPECT_EQ(efm8_open_port(path.c_str(), nullptr, &other), EFM8_ERR_BUSY);
    }
    ioctl(program, TIOCNXCL);
    close(program);

    EXPECT_EQ(efm8_open_port("/dev/kestrane-no-such-port", nullptr, &other), EFM8_ERR_NO_DEVICE);
    EXPECT_EQ(efm8_check_port("/dev/kestrane-no-such-port"), EFM8_OK) << "left for the open to explain";
    char not_a_terminal[] = "/tmp/kestrane-uart-test-XXXXXX";
    const int file = mkstemp(not_a_terminal);
    ASSERT_GE(file, 0);
    for (const char *not_a_port : {static_cast<const char *>(not_a_terminal), "/dev/null", "/tmp"}) {
        EXPECT_EQ(efm8_check_port(not_a_port), EFM8_ERR_NOT_PORT) << not_a_port;
        EXPECT_EQ(efm8_open_port(not_a_port, nullptr, &other), EFM8_ERR_NOT_PORT) << not_a_port;
    }
    EXPECT_EQ(efm8_check_port(path.c_str()), EFM8_OK);
    close(file);
    unlink(not_a_terminal);
    const efm8_port_settings too_slow = port_settings(EFM8_TIMEOUT_DEFAULT_MS, 9600);
    EXPECT_EQ(efm8_open_port(path.c_str(), &too_slow, &other), EFM8_ERR_OPTIONS);
    const efm8_port_settings no_time = port_settings(0);
    EXPECT_EQ(efm8_open_port(path.c_str(), &no_time, &other), EFM8_ERR_OPTIONS);
    struct stat port;
    ASSERT_EQ(stat(path.c_str(), &port), 0);
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    {
        WithoutFileOverride unprivileged;
        EXPECT_EQ(efm8_open_port(path.c_str(), nullptr, &other), EFM8_ERR_ACCESS);
    }
    ASSERT_EQ(chmod(path.c_str(), port.st_mode & 07777), 0);
    EXPECT_EQ(other, nullptr);

    Session second(*board);
    ASSERT_EQ(second.opened(), EFM8_OK) << "the port is free again once the first session closed";
    EXPECT_EQ(efm8_ping(second.get(), nullptr), EFM8_OK);
    const Bytes one_session = line_of({PING});
    Bytes expected;
    for (int session = 0; session < (geteuid() == 0 ? 3 : 2); ++session)
        expected.insert(expected.end(), one_session.begin(), one_session.end());
    EXPECT_EQ(board->received(), expected) << "a refused open sends nothing, not even the training byte";
}

// Boards of different parts on their own threads, sessions and ports.
TEST(Uart, BoardsFlashedAtOnceFromThreadsAllLand)
{
    const char *names[] = {"EFM8BB10F8G-QFN20", "EFM8BB21F16G-QFN20", "EFM8BB31F64G-QFN32", "EFM8SB10F8G-QFN24"};
    std::vector<std::unique_ptr<UartBoard>> boards;
    std::vector<Bytes> images;
    for (const char *name : names) {
        const efm8_part &part = part_named(name);
        boards.push_back(board_of(part));
        images.push_back(random_bytes(part.app_limit / 2 + 77, part.id));
    }
    std::vector<int32_t> results(boards.size(), -1);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < boards.size(); ++i)
        threads.emplace_back([&, i] { results[i] = flash_board(*boards[i], images[i]); });
    for (std::thread &thread : threads)
        thread.join();
    for (size_t i = 0; i < boards.size(); ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(results[i], EFM8_OK);
        EXPECT_TRUE(std::equal(images[i].begin(), images[i].end(), flash_of(*boards[i]).begin()));
        EXPECT_EQ(boards[i]->received(), line_of(frames_of(*boards[i])));
    }
}

}  // namespace
}  // namespace uarttest
