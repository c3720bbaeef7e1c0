// kestrane-cli as a black box over the real hidapi-libusb and libusb, against
// the emulated bootloader: the binary runs as a child process inside this
// process's umockdev testbed. Runs under umockdev-wrapper.
// Usage: cli_usb_test KESTRANE-CLI [gtest options]
#include "usb_emulator.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace {

usbemu::Emulator *emulator;
std::string cli;

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

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    if (argc < 2) {
        std::cerr << "usage: cli_usb_test KESTRANE-CLI\n";
        return 1;
    }
    cli = argv[1];
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
