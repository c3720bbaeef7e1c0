// What each command of a clean run was for, and what the engine must
// return when that command gets a reply code it did not hope for: the
// oracle of the fault tests over every transport. A failed transfer (no
// reply, a dropped line, a board that left) is EFM8_ERR_TRANSFER wherever it
// happens; a reply code depends on the command it answers.
#ifndef KESTRANE_TESTS_FAULT_ROLES_H
#define KESTRANE_TESTS_FAULT_ROLES_H

#include <kestrane/engine.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace faults {

using Bytes = std::vector<uint8_t>;

enum class Role {
    Identify,   // a probe of a part's id: any reply but '@' means another part
    Setup,
    SizeProbe,  // a write of one 0xFF at the image's last address
    Compare,    // delta: whether a block already holds the image
    Erase,
    Write,
    FinalVerify,  // one CRC check over every page the image spans
    Check,        // one of the caller's own checks
    Lock,
    ReadBack,  // a 1-byte CRC check of the lock or signature byte after the lock
    RunApp,
};

inline const char *role_name(Role role)
{
    static const char *const NAMES[] = {"identify", "setup", "size probe", "compare", "erase", "write",
                                        "final verify", "check", "lock", "read-back", "run application"};
    return NAMES[int(role)];
}

// "0x41".
inline std::string hex(uint8_t byte)
{
    static const char DIGITS[] = "0123456789ABCDEF";
    return std::string("0x") + DIGITS[byte >> 4] + DIGITS[byte & 0xF];
}

inline uint32_t verify_start(const Bytes &frame) { return uint32_t(frame[3] << 8 | frame[4]); }
inline uint32_t verify_end(const Bytes &frame) { return uint32_t(frame[5] << 8 | frame[6]); }

// The role of each frame of a clean run ('$' first, as the board got
// them), given the end of the last page the image spans (0 when no image
// was flashed) and the caller's checks. The checks must not be a 256-byte
// block of delta's, nor the final verify's range.
inline std::vector<Role> roles_of(const std::vector<Bytes> &frames, uint32_t span_end,
                                  const std::vector<efm8_check> &checks)
{
    std::vector<Role> roles;
    bool erased = false, locked = false, verified = false;
    for (const Bytes &frame : frames) {
        switch (frame[2]) {
        case EFM8_CMD_IDENTIFY: roles.push_back(Role::Identify); break;
        case EFM8_CMD_SETUP: roles.push_back(Role::Setup); break;
        case EFM8_CMD_ERASE:
            erased = true;
            roles.push_back(Role::Erase);
            break;
        case EFM8_CMD_WRITE: roles.push_back(erased ? Role::Write : Role::SizeProbe); break;
        case EFM8_CMD_LOCK:
            locked = true;
            roles.push_back(Role::Lock);
            break;
        case EFM8_CMD_RUNAPP: roles.push_back(Role::RunApp); break;
        case EFM8_CMD_VERIFY: {
            const uint32_t start = verify_start(frame), end = verify_end(frame);
            bool check = false;
            for (const efm8_check &c : checks)
                check = check || (c.start == start && c.end == end);
            if (locked)
                roles.push_back(Role::ReadBack);
            else if (start == 0 && end == span_end && !verified && erased)
                roles.push_back(Role::FinalVerify), verified = true;
            else if (check)
                roles.push_back(Role::Check);
            else
                roles.push_back(Role::Compare);
            break;
        }
        default: roles.push_back(Role::Identify);  // the version request: any byte is a version
        }
    }
    return roles;
}

const uint8_t REFUSAL = EFM8_REPLY_RANGE;  // 'A'
const uint8_t WRONG_REPLY = 0x90;          // what an unknown command gets
const uint8_t BAD_CRC = EFM8_REPLY_BAD_CRC;  // 'C'

// What the call returns when the command gets code, and whether it goes
// on to the commands after; none where the code is no fault of the call's
// (another part's id), or only a verify's own answer.
struct Expected {
    int32_t result;
    bool goes_on;
};

inline std::optional<Expected> on_reply(Role role, uint8_t code)
{
    const bool refused = code == REFUSAL || code == WRONG_REPLY;
    switch (role) {
    case Role::Identify: return std::nullopt;
    case Role::SizeProbe:
        if (!refused)
            return std::nullopt;
        return Expected{code == REFUSAL ? EFM8_ERR_SIZE : EFM8_ERR_REFUSED, false};
    case Role::Compare:  // 'C': the block differs, and its page is written
        return Expected{refused ? EFM8_ERR_REFUSED : EFM8_OK, !refused};
    case Role::FinalVerify:
    case Role::Check: return Expected{refused ? EFM8_ERR_REFUSED : EFM8_ERR_MISMATCH, false};
    case Role::ReadBack:
        // A byte the bootloader will not check is only not readable: the
        // lock is done. ('C' only means another guess.)
        if (!refused)
            return std::nullopt;
        return Expected{EFM8_OK, true};
    default:
        if (!refused)
            return std::nullopt;
        return Expected{EFM8_ERR_REFUSED, false};
    }
}

}  // namespace faults

#endif
