// The simulated controller board without any I/O: its state machine, the reply (or replies' way
// onto the line) for each request, the boot image, the debug text queue and the planned faults.
// main.cpp owns the pty, the clock and the pacing; everything here takes the time as an argument
// so tests can drive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "Packet.h"
#include "Protocol.h"

// Which request(s) an injection or a fault plan applies to.
enum WhenKind {
    WHEN_EVERY,          // no @: every request (for a fault plan: from the start)
    WHEN_REQUEST,        // @N: the N-th request frame, 1-based
    WHEN_COMMAND,        // @word: the next request with that command, once
    WHEN_UPGRADE_BLOCK,  // @upgrade#K: the K-th upgrade block, 1-based
};

struct When {
    WhenKind kind = WHEN_EVERY;
    uint32_t number = 0;
    uint8_t cmd = 0;
};

enum InjectKind {
    INJECT_NOISE,  // arg: count of non-sync bytes before the reply
    INJECT_SPLIT,  // arg: piece size, arg2: delay between pieces in ms
    INJECT_BADCRC,
    INJECT_ERROR,  // arg: result code of an error reply
    INJECT_CMD,    // arg: cmd byte of the reply
    INJECT_SHORT,  // status and id replies lose their last data bytes, others all of them
    INJECT_SIZE,   // arg: size byte of the reply
    INJECT_SILENCE,
    INJECT_HANGUP,
    INJECT_HANGUP_MID,  // arg: bytes written before the hang-up
    INJECT_CORRUPT,     // arg: percent of bytes flipped in both directions, arg2: seed
    INJECT_DROP,        // the request is ignored: no reply, no effect
    INJECT_DELAY,       // arg: ms before the reply goes out (the board does nothing else meanwhile)
};

struct Injection {
    InjectKind kind = INJECT_NOISE;
    uint32_t arg = 0;
    uint32_t arg2 = 0;
    When when;
    bool spent = false;  // targeted injections fire once
};

struct FaultPlan {
    ControllerError error = CONTROLLER_ERROR_MOTOR_TIMEOUT;
    When when;
    bool spent = false;
};

struct BoardConfig {
    uint8_t device = 0x2B;
    uint8_t major = 1;
    uint8_t minor = 4;
    uint32_t motion_ms = 200;
    uint32_t image_limit = 4u << 20;  // upgrade blocks must end within this many bytes
    std::string debug_text;           // preloaded into the debug queue
    // --boot-loader: a strict boot loader answers upgrade blocks only, as nothing more is asked
    // of a real one; a lenient one also answers ping, id, status and debug.
    bool strict_boot_loader = true;
    bool start_in_boot_loader = false;  // a board whose last upload was cut off
    std::vector<Injection> injections;
    std::vector<FaultPlan> faults;
};

// How one reply goes onto the line.
struct Outgoing {
    std::vector<uint8_t> bytes;  // everything to write: noise, then the frame (possibly mangled)
    size_t frame_offset = 0;     // where the frame starts in `bytes`
    size_t piece = 0;            // write in pieces of this many bytes; 0 = all at once
    uint32_t piece_delay_ms = 0;
    uint32_t delay_ms = 0;  // before the first byte
    bool hangup = false;    // close the line after writing `hangup_after` bytes
    size_t hangup_after = 0;
};

struct MotionPhase {
    ControllerState state;
    uint32_t duration_ms;
};

struct Board {
    BoardConfig config;
    ControllerState state = CONTROLLER_STATE_IDLE;
    uint32_t error_mask = 0;
    bool boot_mode = false;
    std::vector<MotionPhase> phases;  // what is still to come of the current motion
    double phase_start_ms = 0;
    std::vector<uint8_t> image;  // grown as blocks arrive, 0xFF where nothing was written
    uint32_t requests = 0;       // request frames handled, the current one included
    uint32_t upgrade_blocks = 0;
    std::string debug_queue;
    bool corrupt = false;
    uint32_t corrupt_thousandths = 0;  // of a percent: 1000 corrupts one byte in a hundred
    std::mt19937 corrupt_rng;
    uint64_t corrupted_bytes = 0;  // bytes the corrupt injection changed, both directions
    uint32_t dropped = 0;          // requests a drop injection ignored
    uint32_t late = 0;             // replies sent late: delayed, or split with a pause
    uint32_t ignored = 0;          // requests a strict boot loader left unanswered
};

// Largest piece of debug text in one reply: a full record minus header and checksum.
constexpr size_t debug_piece_max = 247;

// Switch parsing; each returns false with a message in *error.
bool ParseWhen(const std::string& text, When* when, std::string* error);
bool ParseInjection(const std::string& text, Injection* injection, std::string* error);
bool ParseFault(const std::string& text, FaultPlan* fault, std::string* error);
// "DEV:MAJOR.MINOR", device in hex, versions in decimal, each 0..255.
bool ParseId(const std::string& text, BoardConfig* config, std::string* error);
// Resolves \xNN, \n, \r, \t and \\ so test texts can hold any byte, a zero included.
bool UnescapeText(const std::string& text, std::string* out, std::string* error);

void BoardInit(Board* board, const BoardConfig& config, double now_ms);
// Finishes every motion phase whose time is up, in order, logging each state change.
void BoardTick(Board* board, double now_ms);
// Handles one request frame (as ParsePacket returned it) and says what goes back on the line;
// Outgoing::bytes is empty for silence. Counts the request and fires what was planned for it.
Outgoing BoardHandle(Board* board, const Packet* request, double now_ms);
// The image up to the end of the highest block received.
std::vector<uint8_t> BoardImage(const Board* board);
// With a corrupt injection: flips bytes on the line with the configured probability.
void BoardCorrupt(Board* board, uint8_t* bytes, size_t count);

const char* BoardStateName(ControllerState state);
