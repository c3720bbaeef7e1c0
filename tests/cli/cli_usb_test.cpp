// kestrane-cli as a black box over the real hidapi-libusb and libusb, against
// the emulated bootloader: the binary runs as a child process inside this
// process's umockdev testbed. Runs under umockdev-wrapper.
// Usage: cli_usb_test KESTRANE-CLI SDCC-FIXTURES-SCRIPT [gtest options]
#include "usb_emulator.h"

#include <gtest/gtest.h>
#include <umockdev.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

usbemu::Emulator *emulator;
std::string cli;
std::string fixtures;  // sdcc_fixtures.sh

struct Finished {
    int status;
    std::string out;
    std::string err;
};

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs the tool through the shell; prefix may take root's file override
// away from it, as a user without the udev rule lacks it.
Finished run(const std::string &arguments, const std::string &prefix = "")
{
    const std::string out = ::testing::TempDir() + "cli_out", err = ::testing::TempDir() + "cli_err";
    const std::string command = prefix + " '" + cli + "' " + arguments + " >'" + out + "' 2>'" + err + "'";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
}

const char WITHOUT_FILE_OVERRIDE[] = "setpriv --bounding-set=-dac_override,-dac_read_search";
// A bound on a wait that ends at once when all is well.
const int MARK_TIMEOUT_MS = 10000;

class CliOverUsb : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (usbemu::Device *device : attached_)
            if (!device->gone)
                emulator->detach(*device);
    }

    usbemu::Device &attach()
    {
        attached_.push_back(&emulator->attach());
        return *attached_.back();
    }

    std::string write_image(size_t count)
    {
        const std::string path = ::testing::TempDir() + "cli_image.bin";
        std::ofstream file(path, std::ios::binary);
        image_.resize(count);
        for (size_t i = 0; i < count; ++i)
            file.put(static_cast<char>(image_[i] = static_cast<uint8_t>(i * 17 + 3)));
        return path;
    }

    std::vector<uint8_t> image_;

private:
    std::vector<usbemu::Device *> attached_;
};

TEST_F(CliOverUsb, FlashesAndVerifiesOverTheRealStack)
{
    usbemu::Device &board = attach();
    const std::string file = write_image(3000);
    const Finished listed = run("list");
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.out.find("EFM8UB1  10c4:eac9"), std::string::npos) << listed.out;

    const Finished flashed = run("flash " + file);
    ASSERT_EQ(flashed.status, 0) << flashed.err;
    std::lock_guard<std::mutex> guard(emulator->lock());
    EXPECT_TRUE(std::equal(image_.begin(), image_.end(), board.model.flash().begin()));
    EXPECT_TRUE(board.gone) << "the application was started";
}

// Firmware built by SDCC at test time (sdcc_fixtures.sh), in each form
// toolchains and editors leave it, over the real stack: byte-exact and
// started. An image with no data at address 0 leaves byte 0 erased, and the
// chip stays in its bootloader: never called started.
TEST_F(CliOverUsb, FlashesSdccFirmwareInEveryFormByteExact)
{
    const std::string dir = ::testing::TempDir() + "sdcc_fixtures";
    ASSERT_EQ(std::system(("'" + fixtures + "' '" + dir + "'").c_str()), 0) << "SDCC could not build the fixtures";
    const std::string image = slurp(dir + "/fw.bin");
    ASSERT_GT(image.size(), 16u);
    for (const char *form : {"fw.ihx", "default.s19", "bare.s19", "start.s19", "srec_cat.hex", "fw.bin", "nul.hex",
                             "ctrlz.hex", "crlf.hex", "cr.hex"}) {
        usbemu::Device &board = attach();
        const Finished flashed = run("flash " + dir + "/" + form);
        ASSERT_EQ(flashed.status, 0) << form << ": " << flashed.err;
        EXPECT_NE(flashed.out.find(", started"), std::string::npos) << form << ": " << flashed.out;
        std::lock_guard<std::mutex> guard(emulator->lock());
        EXPECT_TRUE(std::equal(image.begin(), image.end(), board.model.flash().begin(),
                               [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }))
            << form << ": the flash does not hold the image";
        EXPECT_TRUE(board.gone) << form << ": the application was not started";
    }
    usbemu::Device &board = attach();
    const std::string late = ::testing::TempDir() + "late.bin";
    std::ofstream(late, std::ios::binary) << std::string(0x100, '\xFF') << image;
    const Finished flashed = run("flash " + late);
    ASSERT_EQ(flashed.status, 0) << flashed.err;
    EXPECT_NE(flashed.out.find("not started: the image has no data at address 0"), std::string::npos) << flashed.out;
    std::lock_guard<std::mutex> guard(emulator->lock());
    EXPECT_EQ(board.model.flash()[0], 0xFF);
    EXPECT_FALSE(board.gone) << "a chip whose byte 0 is 0xFF stays in its bootloader";
}

TEST_F(CliOverUsb, PermissionDeniedPointsToTheUdevRule)
{
    usbemu::Device &board = attach();
    emulator->deny_access(board);
    const std::string file = write_image(100);
    const Finished listed = run("list", WITHOUT_FILE_OVERRIDE);
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.out.find("EFM8UB1"), std::string::npos) << "a board is listed without opening it";

    const Finished refused = run("flash " + file, WITHOUT_FILE_OVERRIDE);
    EXPECT_EQ(refused.status, 77) << refused.err;
    EXPECT_NE(refused.err.find("no permission"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("70-kestrane.rules"), std::string::npos) << refused.err;
    std::lock_guard<std::mutex> guard(emulator->lock());
    EXPECT_TRUE(board.model.frames().empty());
}

// Serial ports in a testbed of their own, which the tool is pointed at: the
// emulator's testbed stays the one this process sees. A USB-serial adapter's
// tty, and a board's own UART with no USB behind it.
class SerialPorts {
public:
    SerialPorts()
    {
        const std::string emulators = std::getenv("UMOCKDEV_DIR");
        testbed_ = umockdev_testbed_new();  // points UMOCKDEV_DIR at itself until the ports are in
        gchar *root = umockdev_testbed_get_root_dir(testbed_);
        root_ = root;
        g_free(root);
        add("P: /devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/ttyUSB0/tty/ttyUSB0\n"
            "N: ttyUSB0\n"
            "E: DEVNAME=/dev/ttyUSB0\n"
            "E: SUBSYSTEM=tty\n"
            "\n"
            "P: /devices/pci0000:00/0000:00:14.0/usb1/1-3\n"
            "E: DEVTYPE=usb_device\n"
            "E: SUBSYSTEM=usb\n"
            "A: idVendor=10c4\\n\n"
            "A: idProduct=ea60\\n\n"
            "A: manufacturer=Silicon Labs\\n\n"
            "A: product=CP2102 USB to UART Bridge Controller\\n\n"
            "A: serial=0001\\n\n");
        add("P: /devices/platform/fe201000.serial/tty/ttyAMA0\n"
            "N: ttyAMA0\n"
            "E: DEVNAME=/dev/ttyAMA0\n"
            "E: SUBSYSTEM=tty\n"
            "\n"
            "P: /devices/platform/fe201000.serial\n"
            "E: SUBSYSTEM=platform\n");
        setenv("UMOCKDEV_DIR", emulators.c_str(), 1);
    }

    ~SerialPorts()
    {
        const std::string emulators = std::getenv("UMOCKDEV_DIR");
        g_object_unref(testbed_);
        setenv("UMOCKDEV_DIR", emulators.c_str(), 1);
    }

    // For the tool's command line: it sees these ports and no other.
    std::string environment() const { return "UMOCKDEV_DIR='" + root_ + "'"; }

    // The bytes written to the adapter's port so far: umockdev makes it a
    // pseudo-terminal, and a mark written now comes out after them.
    std::string sent_to_adapter()
    {
        static const char MARK = 'M';
        const int master = umockdev_testbed_get_dev_fd(testbed_, "/dev/ttyUSB0");
        const int port = open((root_ + "/dev/ttyUSB0").c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        EXPECT_TRUE(master >= 0 && port >= 0 && write(port, &MARK, 1) == 1);
        close(port);
        std::string bytes;
        pollfd ready = {master, POLLIN, 0};
        char byte = 0;
        while (poll(&ready, 1, MARK_TIMEOUT_MS) == 1 && read(master, &byte, 1) == 1 && byte != MARK)
            bytes += byte;
        EXPECT_EQ(byte, MARK) << "the mark never came through";
        return bytes;
    }

private:
    void add(const char *description)
    {
        GError *error = nullptr;
        if (!umockdev_testbed_add_from_string(testbed_, description, &error))
            throw std::runtime_error(std::string("umockdev could not add the port: ") + error->message);
    }

    UMockdevTestbed *testbed_;
    std::string root_;
};

TEST(CliSerialPorts, ListedWithTheirAdapterAndNothingSent)
{
    SerialPorts ports;
    const Finished listed = run("list --ports", ports.environment());
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out,
              "/dev/ttyAMA0  serial port\n"
              "/dev/ttyUSB0  serial port  10c4:ea60  Silicon Labs  CP2102 USB to UART Bridge Controller  "
              "serial number 0001\n");

    // --serial, its older name, is still taken.
    const Finished json = run("list --serial --json", ports.environment());
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out,
              "[{\"path\":\"/dev/ttyAMA0\",\"interface\":\"uart\",\"vendor_id\":null,\"product_id\":null,"
              "\"manufacturer\":null,\"product\":null,\"serial\":null},"
              "{\"path\":\"/dev/ttyUSB0\",\"interface\":\"uart\",\"vendor_id\":4292,\"product_id\":60000,"
              "\"manufacturer\":\"Silicon Labs\",\"product\":\"CP2102 USB to UART Bridge Controller\","
              "\"serial\":\"0001\"}]\n");

    const Finished plain = run("list", ports.environment());
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out, "") << "ports are listed only when asked for";
    EXPECT_EQ(ports.sent_to_adapter(), "");
}

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    if (argc < 3) {
        std::cerr << "usage: cli_usb_test KESTRANE-CLI SDCC-FIXTURES-SCRIPT\n";
        return 1;
    }
    cli = argv[1];
    fixtures = argv[2];
    try {
        emulator = new usbemu::Emulator;
    } catch (const std::exception &e) {
        std::cerr << "cli_usb_test: " << e.what() << "\n";
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    delete emulator;
    return result;
}
