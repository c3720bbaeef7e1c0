// Boot-record files, read into an image and written from one, with the
// bootloader's own record encoders.
#include "firmware/boot_records.h"

#include "protocol/parts.h"

#include <algorithm>
#include <cstdio>

namespace firmware {

static const std::uint8_t LEAVE_AS_IS = EFM8_ERASED;  // a lock record's byte that changes nothing
static const std::size_t ADDRESS_BYTES = 2;

// The page size of the family whose DEVICEID the id carries (families that
// share one share their pages), or the usual one.
static std::uint32_t page_size_of(std::uint16_t id)
{
    std::size_t count;
    const efm8_family *families = part_families(&count);
    for (std::size_t i = 0; i < count; ++i)
        if (families[i].device_id == id >> 8)
            return families[i].page_size;
    return EFM8_PAGE_SIZE_DEFAULT;
}

std::uint32_t page_size_for(const std::vector<std::uint16_t> &ids)
{
    if (ids.empty())
        return EFM8_PAGE_SIZE_DEFAULT;
    const std::uint32_t size = page_size_of(ids[0]);
    const auto alike = [size](std::uint16_t id) { return page_size_of(id) == size; };
    return std::all_of(ids.begin(), ids.end(), alike) ? size : EFM8_PAGE_SIZE_DEFAULT;
}

static std::string hex(std::uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

namespace {

// One record as the file holds it.
struct record {
    std::size_t index;  // counted from 1
    std::size_t offset;  // of its '$'
    std::uint8_t command;
    const std::uint8_t *payload;
    std::size_t length;  // payload bytes after the command
};

struct failure {
    Problem problem;
    std::string message;
};

// What each command carries after the command byte.
struct shape {
    std::uint8_t command;
    const char *name;
    std::size_t least, most;
};

const shape SHAPES[] = {
    {EFM8_CMD_IDENTIFY, "identify", 2, 2},
    {EFM8_CMD_SETUP, "setup", 3, 3},
    {EFM8_CMD_ERASE, "erase", ADDRESS_BYTES, ADDRESS_BYTES + EFM8_WRITE_MAX},
    {EFM8_CMD_WRITE, "write", ADDRESS_BYTES, ADDRESS_BYTES + EFM8_WRITE_MAX},
    {EFM8_CMD_VERIFY, "verify", 6, 6},
    {EFM8_CMD_LOCK, "lock", 2, 2},
    {EFM8_CMD_RUNAPP, "run application", 2, 2},
};

}  // namespace

static std::string where(const record &r)
{
    return "record " + std::to_string(r.index) + " at offset " + hex(static_cast<std::uint32_t>(r.offset), 4) + ": ";
}

static void check_shape(const record &r)
{
    const shape *found = std::find_if(std::begin(SHAPES), std::end(SHAPES),
                                      [&](const shape &s) { return s.command == r.command; });
    if (found == std::end(SHAPES))
        throw failure{Problem::Malformed, where(r) + "unknown command " + hex(r.command, 2)};
    if (r.length >= found->least && r.length <= found->most)
        return;
    const std::string takes = found->least == found->most ? std::to_string(found->least)
                                                          : std::to_string(found->least) + " to " +
                                                                std::to_string(found->most);
    throw failure{Problem::Malformed, where(r) + found->name + " takes " + takes +
                                          " bytes after the command, this record has " + std::to_string(r.length)};
}

// Calls visit with each record of the file, checked for shape, in order.
template <typename Visit>
static void for_each_record(const std::uint8_t *content, std::size_t size, Visit visit)
{
    std::size_t index = 1;
    for (std::size_t offset = 0; offset < size; ++index) {
        record r{index, offset, 0, nullptr, 0};
        const std::size_t left = size - offset;
        if (content[offset] != EFM8_RECORD_START)
            throw failure{Problem::Malformed, where(r) + "it starts with " + hex(content[offset], 2) + ", not '$'"};
        if (left < 2)
            throw failure{Problem::Malformed, where(r) + "the file ends before its length"};
        const std::size_t n = content[offset + 1];
        if (n == 0)
            throw failure{Problem::Malformed, where(r) + "its length is 0, leaving no room for a command"};
        if (n > left - 2)
            throw failure{Problem::Malformed, where(r) + "its length of " + std::to_string(n) +
                                                  " runs past the end of the file (" + std::to_string(left - 2) +
                                                  " bytes follow it)"};
        r.command = content[offset + 2];
        r.payload = content + offset + 3;
        r.length = n - 1;
        check_shape(r);
        visit(r);
        offset += 2 + n;
    }
}

static std::uint16_t u16(const std::uint8_t *at)
{
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

namespace {

// The flash as the records leave it, and which record wrote each byte.
struct reading {
    std::uint32_t limit;
    std::uint32_t page_size;
    Image &image;
    std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(ADDRESS_SPACE, EFM8_ERASED);
    std::vector<std::uint32_t> writer = std::vector<std::uint32_t>(ADDRESS_SPACE, 0);  // 0: none
    std::uint32_t end = 0;
    bool ran = false;
    std::vector<record> verifies = {};  // checked once the whole image is known
};

}  // namespace

static void place(reading &state, const record &r, std::uint32_t address, const std::uint8_t *data, std::size_t len)
{
    for (std::size_t i = 0; i < len; ++i, ++address) {
        if (address >= state.limit || address >= ADDRESS_SPACE)
            throw failure{Problem::TooLarge, where(r) + lies_beyond(address, state.limit)};
        const std::uint32_t earlier = state.writer[address];
        if (earlier != 0 && state.flash[address] != data[i])
            throw failure{Problem::Malformed, where(r) + "data at " + hex(address, 4) + " differs from what record " +
                                                  std::to_string(earlier) + " wrote"};
        state.flash[address] = data[i];
        state.writer[address] = static_cast<std::uint32_t>(r.index);
        state.end = std::max(state.end, address + 1);
    }
}

static void erase(reading &state, const record &r)
{
    const std::uint32_t address = u16(r.payload);
    const std::uint32_t page = address / state.page_size * state.page_size;
    const std::size_t len = r.length - ADDRESS_BYTES;
    if (address + len > page + state.page_size)
        throw failure{Problem::Malformed, where(r) + "the erase's data crosses from the page at " + hex(page, 4) +
                                              " into the next"};
    for (std::uint32_t at = page; at < page + state.page_size; ++at)
        if (state.writer[at] != 0)
            throw failure{Problem::Malformed, where(r) + "the erase of the page at " + hex(page, 4) + " would wipe " +
                                                  hex(at, 4) + ", which record " + std::to_string(state.writer[at]) +
                                                  " wrote"};
    place(state, r, address, r.payload + ADDRESS_BYTES, len);
}

static void setup(const record &r)
{
    if (r.payload[0] != EFM8_FLASH_KEY_1 || r.payload[1] != EFM8_FLASH_KEY_2)
        throw failure{Problem::Malformed, where(r) + "setup without the flash keys 0xA5 0xF1"};
    if (r.payload[2] != 0)
        throw failure{Problem::Unsupported, where(r) + "setup selects flash bank " + std::to_string(r.payload[2]) +
                                                ", and Kestrane flashes bank 0 only"};
}

static void verify(reading &state, const record &r)
{
    const Check check{u16(r.payload), u16(r.payload + 2), u16(r.payload + 4)};
    if (check.end < check.start)
        throw failure{Problem::Malformed, where(r) + "the verify's range ends at " + hex(check.end, 4) +
                                              ", before its start " + hex(check.start, 4)};
    state.image.checks.push_back(check);
    state.verifies.push_back(r);
}

// A verify record is a checksum of the file: the image must answer it, with
// what the file does not write taken as erased, as Kestrane leaves the rest
// of the pages the image spans. Data that does not is corrupt, and is refused
// before it reaches a board.
static void check_verifies(const reading &state)
{
    for (std::size_t i = 0; i < state.verifies.size(); ++i) {
        const record &r = state.verifies[i];
        const Check &check = state.image.checks[i];
        const std::uint16_t crc = crc16(state.flash.data() + check.start, check.end - check.start + 1u);
        if (crc == check.crc)
            continue;
        const std::string erased = check.end >= state.end ? " (the bytes from " + hex(state.end, 4) +
                                                                " on, which it does not write, taken as erased)"
                                                          : "";
        throw failure{Problem::Malformed, where(r) + "the file's data from " + hex(check.start, 4) + " to " +
                                              hex(check.end, 4) + erased + " has CRC " + hex(crc, 4) + ", not the " +
                                              hex(check.crc, 4) + " this verify record expects: the file is corrupt"};
    }
}

static void lock(reading &state, const record &r)
{
    std::optional<Lock> &lock = state.image.lock;
    if (!lock)
        lock = Lock{LEAVE_AS_IS, LEAVE_AS_IS};
    lock->signature &= r.payload[0];
    lock->lock &= r.payload[1];
}

static void apply(reading &state, const record &r)
{
    if (state.ran)
        throw failure{Problem::Malformed, where(r) + "it follows run application, when the chip has left its "
                                                     "bootloader"};
    switch (r.command) {
    case EFM8_CMD_SETUP:
        setup(r);
        break;
    case EFM8_CMD_ERASE:
        erase(state, r);
        break;
    case EFM8_CMD_WRITE:
        place(state, r, u16(r.payload), r.payload + ADDRESS_BYTES, r.length - ADDRESS_BYTES);
        break;
    case EFM8_CMD_VERIFY:
        verify(state, r);
        break;
    case EFM8_CMD_LOCK:
        lock(state, r);
        break;
    case EFM8_CMD_RUNAPP:
        state.ran = state.image.runs = true;
        break;
    }
}

// The ids come first, wherever they stand: they set the page size every
// erase is read with.
static void read_records(const std::uint8_t *content, std::size_t size, std::uint32_t limit, Image &image)
{
    for_each_record(content, size, [&](const record &r) {
        if (r.command == EFM8_CMD_IDENTIFY)
            image.ids.push_back(u16(r.payload));
    });
    reading state{limit, page_size_for(image.ids), image};
    for_each_record(content, size, [&](const record &r) { apply(state, r); });
    if (state.end == 0)
        throw failure{Problem::Malformed, "the file writes no data"};
    check_verifies(state);
    state.flash.resize(state.end);
    image.bytes = std::move(state.flash);
}

Outcome parse_boot_records(const std::uint8_t *content, std::size_t size, std::uint32_t limit, Image &image)
{
    image = Image{};
    image.format = Format::BootRecords;
    try {
        read_records(content, size, limit, image);
    } catch (const failure &f) {
        image = Image{};
        image.format = Format::BootRecords;
        return {f.problem, f.message};
    }
    return {};
}

namespace {

// One boot-record file being written.
struct writing {
    const std::vector<std::uint8_t> &image;
    const BootRecordOptions &options;
    std::uint32_t page_size;
    std::vector<std::uint8_t> &out;
    std::uint8_t record[EFM8_RECORD_MAX];

    void put(std::size_t length) { out.insert(out.end(), record, record + length); }
    void data(std::uint8_t command, std::uint32_t address, std::uint32_t len)
    {
        put(record_data(record, command, address, image.data() + address, len));
    }
};

}  // namespace

static std::uint32_t image_size(const writing &w)
{
    return static_cast<std::uint32_t>(w.image.size());
}

// From address to the end of its write-size chunk, its page or the image,
// whichever comes first.
static std::uint32_t chunk_length(const writing &w, std::uint32_t address)
{
    const std::uint32_t page_end = (address / w.page_size + 1) * w.page_size;
    return std::min({w.options.write_size, page_end - address, image_size(w) - address});
}

// A blank chunk needs no write after its erase, unless it ends the image.
static bool skippable(const writing &w, std::uint32_t address, std::uint32_t len)
{
    const auto first = w.image.begin() + address;
    return address + len != image_size(w) &&
           std::all_of(first, first + len, [](std::uint8_t byte) { return byte == EFM8_ERASED; });
}

// Page 0 is already erased, and its first chunk held back.
static void write_page(writing &w, std::uint32_t start)
{
    const std::uint32_t end = std::min(start + w.page_size, image_size(w));
    for (std::uint32_t address = start; address < end;) {
        const std::uint32_t len = chunk_length(w, address);
        const bool skip = skippable(w, address, len);
        if (address == start && start != 0) {
            const bool carried = !skip && !w.options.erase_without_data;
            w.data(EFM8_CMD_ERASE, address, carried ? len : 0);
            if (!skip && !carried)
                w.data(EFM8_CMD_WRITE, address, len);
        } else if (address != 0 && !skip) {
            w.data(EFM8_CMD_WRITE, address, len);
        }
        address += len;
    }
}

Outcome write_boot_records(const std::vector<std::uint8_t> &bytes, const BootRecordOptions &options,
                           std::vector<std::uint8_t> &content)
{
    content.clear();
    if (bytes.empty())
        return {Problem::Empty, "the image is empty"};
    if (bytes.size() > ADDRESS_SPACE)
        return {Problem::TooLarge, lies_beyond(ADDRESS_SPACE, ADDRESS_SPACE)};
    if (options.write_size < 1 || options.write_size > EFM8_WRITE_MAX)
        return {Problem::Unsupported, "a write size of " + std::to_string(options.write_size) +
                                          " bytes is outside 1 to " + std::to_string(EFM8_WRITE_MAX)};
    writing w{bytes, options, page_size_for(options.ids), content, {}};
    for (std::uint16_t id : options.ids)
        w.put(record_identify(w.record, id));
    w.put(record_setup(w.record, 0));
    w.data(EFM8_CMD_ERASE, 0, 0);
    for (std::uint32_t start = 0; start < image_size(w); start += w.page_size)
        write_page(w, start);
    const std::uint32_t first = chunk_length(w, 0);
    if (!skippable(w, 0, first))
        w.data(EFM8_CMD_WRITE, 0, first);
    if (options.verify)
        w.put(record_verify(w.record, 0, image_size(w) - 1, crc16(bytes.data(), bytes.size())));
    if (options.lock_pages)
        w.put(record_lock(w.record, LEAVE_AS_IS, static_cast<std::uint8_t>(~*options.lock_pages)));
    if (options.run)
        w.put(record_runapp(w.record));
    return {};
}

}  // namespace firmware
