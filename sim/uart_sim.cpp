// Simulated boards with UART bootloaders, each behind a pseudo-terminal, for
// the command line's tests and the demo. Prints "ready" once every board's
// link exists, then runs until SIGINT, SIGTERM or "quit".
//
// uart_sim --links DIR [options]: board N is reached as DIR/ttySIMN.
//   --boards N          how many boards (default 1)
//   --part NAME         a part of the table, e.g. EFM8BB10F8G-QFN20 (default
//                       EFM8BB31F64G-QFN32)
//   --identity HEX      answer identify to this id instead of the part's
//   --layout SIZE:APP_END:PAGE:LOCK  (hex) instead of the part's
//   --flash-in FILE     every board's flash starts with FILE
//   --flash-out FILE    board 1's flash goes to FILE at exit, board N's to FILE.N;
//                       FILE.state (FILE.N.state) gets its lock and signature
//                       bytes and whether it is in its bootloader: "lock FF",
//                       "signature A5", "mode bootloader" or "mode application";
//                       FILE.frames (FILE.N.frames) every record it got, a line
//                       of hex each, '$' (24) first
//   --log FILE          a line per event: "N trained", "N record 32",
//                       "N reply 40", "N silent", "N hung up"
//   --control FIFO      read for "return N" (board N reset into its
//                       bootloader, where it answers again, a silent one
//                       too), "hangup N", "say N HEX..." and "quit"
//   --answer N:HH       board 1 answers its Nth command (from 0) with HH
//   --silent N          board 1 says nothing from its Nth command on
//   --hang-up N         board 1's line drops at its Nth command
//   --drop N            board 1 does not answer its Nth command, and answers
//                       the rest
//   --latency T:E:B     every board spends T microseconds on each transfer
//                       (twice a record: in and out), E on each page erase and
//                       B on each byte written, and each byte either way its
//                       10 bits at the baud rate the host set, as a chip on a
//                       real line would (for benchmarks)
// The chip around the bootloader, for entry by lines or by the application:
//   --power-on          each board starts as the chip does at power-on: in
//                       its application unless flash byte 0 is 0xFF
//   --reset-line LINE   what the chip's reset pin is wired to: rts or dtr (of
//   --boot-line LINE    its own port), or gpio:CHIP:OFFSET (board 1 only);
//                       ":inverted" for a transistor stage between. The pins
//                       follow the lines as the stand-ins report them on
//   --wires SOCKET      (wires.h), logged as "N pin reset low STAMP"
//   --enter-command HEX the application jumps into its bootloader on these
//                       bytes; it ignores anything else
//   control "insert N"  board N is replaced by a fresh one (its flash as at
//                       the start), powered on: logged as "N inserted"
#include <kestrane/parts.h>
#include "uart_board.h"
#include "uart_sim_settings.h"
#include "wires.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using uartsim::Settings;
using uartsim::Wire;
using uartsim::find_part;
using uartsim::read_hex;
using uartsim::read_wire;
using uartsim::usage;

class Bench {
public:
    explicit Bench(const Settings &settings) : settings_(settings)
    {
        const efm8_part *part = find_part(settings.part);
        if (part == nullptr)
            usage("no part " + settings.part + " in the table");
        layout_ = efm8sim::layout_of(*part);
        identity_ = settings.identity >= 0 ? static_cast<std::uint16_t>(settings.identity) : part->id;
        if (!settings.layout.empty())
            read_layout(settings.layout);
        if (!settings.log.empty())
            log_ = std::fopen(settings.log.c_str(), "a");
        if (!settings.flash_in.empty()) {
            std::ifstream in(settings.flash_in, std::ios::binary);
            flash_in_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        reset_wire_ = read_wire(settings.reset_line);
        boot_wire_ = read_wire(settings.boot_line);
        for (int i = 0; i < settings.boards; ++i)
            add_board();
        inject_faults();
    }

    // One change of a host's line: each pin wired to it follows.
    void line_changed(const std::string &message)
    {
        std::string kind, where;
        int level = 1;
        std::int64_t stamp = 0;
        if (!wires::parse(message, kind, where, level, stamp))
            return;
        for (std::size_t i = 0; i < boards_.size(); ++i) {
            efm8sim::UartBoard &board = *boards_[i];
            for (const Wire *wire : {&reset_wire_, &boot_wire_}) {
                const bool on_it = wire->kind == kind && (kind == "gpio" ? i == 0 && wire->where == where
                                                                         : where == board.path());
                if (!on_it)
                    continue;
                const bool high = (level == 1) != wire->inverted;
                const bool reset = wire == &reset_wire_;
                log(i + 1, std::string("pin ") + (reset ? "reset " : "entry ") + (high ? "high " : "low ") +
                               std::to_string(stamp));
                board.set_pin(reset ? efm8sim::UartBoard::Pin::Reset : efm8sim::UartBoard::Pin::Entry, high);
            }
        }
    }

    // A board whose chip had left its bootloader (gone silent) is reset
    // into it: it answers again.
    static void come_back(efm8sim::UartBoard &board)
    {
        board.reset_into_bootloader();
        std::lock_guard<std::mutex> guard(board.lock());
        board.faults().silent_from = efm8sim::NEVER;
    }

    // Board number's place takes a fresh board.
    void insert(std::size_t number)
    {
        efm8sim::UartBoard &board = *boards_[number - 1];
        {
            std::lock_guard<std::mutex> guard(board.lock());
            load_flash(board);
        }
        log(number, "inserted");
        board.power_on();
    }

    ~Bench()
    {
        for (std::size_t i = 0; i < boards_.size(); ++i) {
            boards_[i]->observe({});
            if (!settings_.flash_out.empty())
                write_flash(*boards_[i], i == 0 ? settings_.flash_out : settings_.flash_out + "." + std::to_string(i + 1));
            unlink(link_of(i + 1).c_str());
        }
        if (log_)
            std::fclose(log_);
    }

    // Commands from the control FIFO; false on "quit".
    bool obey(const std::string &line)
    {
        std::istringstream words(line);
        std::string verb;
        std::size_t board = 0;
        words >> verb >> board;
        if (verb == "quit")
            return false;
        if (board < 1 || board > boards_.size())
            return true;
        efm8sim::UartBoard &target = *boards_[board - 1];
        if (verb == "return")
            come_back(target);
        else if (verb == "insert")
            insert(board);
        else if (verb == "hangup")
            target.hang_up();
        else if (verb == "say") {
            std::vector<std::uint8_t> bytes;
            for (std::string byte; words >> byte;)
                bytes.push_back(static_cast<std::uint8_t>(std::strtoul(byte.c_str(), nullptr, 16)));
            target.say(bytes);
        }
        return true;
    }

private:
    std::string link_of(std::size_t board) const { return settings_.links + "/ttySIM" + std::to_string(board); }

    void read_layout(const std::string &text)
    {
        unsigned long size, app_end, page, lock;
        if (std::sscanf(text.c_str(), "%lx:%lx:%lx:%lx", &size, &app_end, &page, &lock) != 4)
            usage("--layout takes SIZE:APP_END:PAGE:LOCK in hex");
        layout_ = {size, static_cast<std::uint32_t>(app_end), page, static_cast<std::uint32_t>(lock)};
    }

    void add_board()
    {
        boards_.push_back(std::make_unique<efm8sim::UartBoard>(layout_, identity_));
        efm8sim::UartBoard &board = *boards_.back();
        board.model().set_latency(settings_.latency);
        board.set_paced(settings_.paced);
        load_flash(board);
        board.set_enter_command(read_hex(settings_.enter_command));
        if (settings_.power_on)
            board.power_on();
        const std::size_t number = boards_.size();
        unlink(link_of(number).c_str());
        if (symlink(board.path().c_str(), link_of(number).c_str()) != 0)
            usage("cannot link " + link_of(number));
        board.observe([this, number, &board](const std::string &event) { heard(number, board, event); });
    }

    // The model's flash as a new chip's with --flash-in over it. Callers
    // hold the board, or own it still.
    void load_flash(efm8sim::UartBoard &board)
    {
        board.model().set_layout(board.model().layout());  // erased, its signature byte set
        auto &flash = board.model().flash();
        std::copy_n(flash_in_.begin(), std::min(flash_in_.size(), flash.size()), flash.begin());
    }

    // From the board's thread, with the board held.
    void heard(std::size_t number, efm8sim::UartBoard &board, const std::string &event)
    {
        // A dropped reply is silence for one command only.
        if (event == "silent" && number == 1 && settings_.drop >= 0)
            board.faults().silent_from = efm8sim::NEVER;
        log(number, event);
    }

    void log(std::size_t number, const std::string &event)
    {
        if (!log_)
            return;
        std::lock_guard<std::mutex> guard(log_lock_);
        std::fprintf(log_, "%zu %s\n", number, event.c_str());
        std::fflush(log_);
    }

    void inject_faults()
    {
        efm8sim::UartBoard &first = *boards_.front();
        unsigned index = 0, code = 0;
        if (std::sscanf(settings_.answer.c_str(), "%u:%x", &index, &code) == 2)
            first.model().answer_command_with(index, static_cast<std::uint8_t>(code));
        if (settings_.silent >= 0)
            first.faults().silent_from = static_cast<std::size_t>(settings_.silent);
        if (settings_.hang_up >= 0)
            first.faults().hang_up_at = static_cast<std::size_t>(settings_.hang_up);
        if (settings_.drop >= 0)
            first.faults().silent_from = static_cast<std::size_t>(settings_.drop);
    }

    static void write_flash(efm8sim::UartBoard &board, const std::string &path)
    {
        std::lock_guard<std::mutex> guard(board.lock());
        std::ofstream out(path, std::ios::binary);
        const efm8sim::Bootloader &model = board.model();
        const auto &flash = model.flash();
        out.write(reinterpret_cast<const char *>(flash.data()), static_cast<std::streamsize>(flash.size()));
        std::ofstream state(path + ".state");
        char text[64];
        std::snprintf(text, sizeof text, "lock %02X\nsignature %02X\nmode %s\n", model.lock_byte(),
                      model.signature_byte(), model.on_bus() ? "bootloader" : "application");
        state << text;
        // What the board was sent, for tests that check which commands went out.
        std::ofstream frames(path + ".frames");
        for (const std::vector<std::uint8_t> &frame : model.frames()) {
            for (std::uint8_t byte : frame) {
                std::snprintf(text, sizeof text, "%02X", byte);
                frames << text;
            }
            frames << '\n';
        }
    }

    const Settings &settings_;
    efm8sim::Layout layout_;
    std::uint16_t identity_ = 0;
    std::vector<std::uint8_t> flash_in_;
    std::vector<std::unique_ptr<efm8sim::UartBoard>> boards_;
    std::FILE *log_ = nullptr;
    std::mutex log_lock_;
    Wire reset_wire_, boot_wire_;
};

// The wires' socket: one change a connection, answered once the boards
// have taken it.
void serve_wires(Bench &bench, const std::string &path)
{
    const int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    unlink(path.c_str());
    if (server < 0 || bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(server, 16) != 0)
        usage("cannot serve the wires at " + path);
    std::thread([&bench, server] {
        for (;;) {
            const int client = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            std::string message;
            char c;
            while (read(client, &c, 1) == 1 && c != '\n')
                message += c;
            bench.line_changed(message);
            if (write(client, "ok\n", 3) != 3) {
            }
            close(client);
        }
    }).detach();
}

}  // namespace

int main(int argc, char **argv)
{
    const Settings settings = uartsim::read_settings(argc, argv);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // every thread started from here on too
    Bench bench(settings);
    if (!settings.wires.empty())
        serve_wires(bench, settings.wires);
    if (!settings.control.empty()) {
        // Opened for writing too, the FIFO never reads as ended between
        // writers; "quit" ends the process as a signal does.
        std::thread([&bench, fifo = settings.control] {
            std::ifstream commands(fifo, std::ios::in | std::ios::out);
            for (std::string line; std::getline(commands, line);)
                if (!bench.obey(line))
                    kill(getpid(), SIGTERM);
        }).detach();
    }
    std::cout << "ready" << std::endl;
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
}
