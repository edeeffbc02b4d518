// What the console sends and what comes back, and the parsing of the `raw` command's
// arguments. Portable: no OS code here.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pm::console {

constexpr const char* kDefaultAddressee = "ProcMgr";
// Longer than the agent's own 15 s wait for the monitor host, so that its time-out reply
// (status 0xFFFF0002) reaches the console before the console gives up.
constexpr uint32_t kDefaultTimeoutMs = 30000;

struct Request {
    uint32_t code = 0;
    std::vector<std::string> params; // raw bytes, in the order given
    std::string to = kDefaultAddressee;
    uint32_t timeout_ms = kDefaultTimeoutMs;
    bool json = false;
};

struct Reply {
    enum class Outcome {
        kReply,      // a reply came
        kAbsentNode, // the addressee is not registered
        kNotSent,    // the library refused the request
        kNoReply,    // no reply in time
        // Through a NATS cluster:
        kNotPermitted,    // the server refused the request's subject to this user
        kNoSuchMachine,   // no gate answers for the machine
        kAgentNotRunning, // the gate says the local node is not running
        kGateRefused,     // the gate answered another status of its own (`gate_status`)
        kConnectionLost,  // the connection dropped while the request was in flight
    };
    Reply() = default;
    Reply(Outcome o, uint32_t s, std::vector<std::string> i)
        : outcome(o), status(s), items(std::move(i)) {}

    Outcome outcome = Outcome::kNoReply;
    uint32_t status = 0;
    std::vector<std::string> items;
    uint32_t gate_status = 0;
    std::string detail; // what the transport knows more, one line
};

// Converts ANSI text to compressed unicode with its terminator; false when it fails.
using CompressedConverter = bool (*)(const std::string& text, std::string& out);

// How a message names an argument that was not expected: an option by its name alone (what
// follows a '=' could be a password typed into the wrong option), any other word as it is.
std::string OptionShown(const std::string& arg);

// Decimal, or hexadecimal after "0x"; the whole text, at most 32 bits.
bool ParseU32(const std::string& text, uint32_t& value);
// Hex digit pairs, optionally with "0x" in front and blanks, ':' or '-' between bytes.
bool ParseHexBytes(const std::string& text, std::string& bytes);
// 4 bytes, little-endian.
std::string U32Bytes(uint32_t value);

// Parses "CODE [--u32 N] [--text S] [--cu S] [--hex BYTES] [--to NODE] [--timeout MS] [--json]".
// On failure answers false with a message in `error`.
bool ParseRawArgs(const std::vector<std::string>& args, CompressedConverter to_compressed,
                  Request& request, std::string& error);

} // namespace pm::console
