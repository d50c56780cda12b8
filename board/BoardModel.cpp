// The simulated board's behaviour, independent of the pty.
#include "BoardModel.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// What the firmware asks of its own state before it acts on a request, beyond the size its row in
// request_table gives (a request of another size is refused as bad data). A request not listed
// here may come in either state of the board, at any time.
struct RequestRule {
    uint8_t cmd;
    bool app_only;  // refused by the boot loader
    bool needs_idle;
};

// clang-format off
constexpr RequestRule request_rules[] = {
    // code                      app_only  needs_idle
    {HPROTO_CMD_MOVE,            true,     true},
    {HPROTO_CMD_GOHOME,          true,     true},
    {HPROTO_CMD_CALIBRATE,       true,     true},
    {HPROTO_CMD_PRECALIBRATE,    true,     true},
    {HPROTO_CMD_VEND,            true,     true},
    {HPROTO_CMD_RECOVER,         true,     false},
    {HPROTO_CMD_SWITCH_BOOT_APP, false,    true},
};
// clang-format on

constexpr uint8_t max_channel = 4;
constexpr uint8_t max_direction = 2;
constexpr uint32_t max_noise = 300;

RequestRule FindRule(uint8_t cmd)
{
    for (const RequestRule& rule : request_rules) {
        if (rule.cmd == cmd)
            return rule;
    }
    return RequestRule{cmd, false, false};
}

const char* CommandWordOf(uint8_t cmd)
{
    const char* word = RequestWord(cmd);
    return word ? word : "unknown";
}

bool ParseUnsigned(const std::string& text, uint32_t max, uint32_t* value, int base = 10)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    unsigned long v = strtoul(text.c_str(), &end, base);
    if (*end != '\0' || text[0] == '-' || text[0] == '+' || v > max)
        return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

// A percentage with up to three decimals ("2", "0.1", "0.025"), in thousandths of a percent.
bool ParsePercent(const std::string& text, uint32_t* thousandths)
{
    size_t dot = text.find('.');
    std::string whole = text.substr(0, dot);
    std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
    uint32_t units = 0, part = 0;
    if (!ParseUnsigned(whole, 100, &units) || fraction.size() > 3 ||
        (dot != std::string::npos && !ParseUnsigned(fraction, 999, &part)))
        return false;
    while (fraction.size() < 3) {
        fraction.push_back('0');
        part *= 10;
    }
    *thousandths = units * 1000 + part;
    return *thousandths <= 100000;
}

std::vector<std::string> SplitColons(const std::string& text)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos)
            return parts;
        start = colon + 1;
    }
}

void Log(Board* board, const std::string& line)
{
    board->debug_queue += line;
    board->debug_queue += "\r\n";
}

void SetState(Board* board, ControllerState state)
{
    if (board->state == state)
        return;
    Log(board,
        std::string("state ") + BoardStateName(board->state) + " -> " + BoardStateName(state));
    board->state = state;
}

void StartMotion(Board* board, std::vector<MotionPhase> phases, double now_ms)
{
    board->phases = std::move(phases);
    board->phase_start_ms = now_ms;
    SetState(board, board->phases.front().state);
}

bool Matches(const When& when, const Board* board, uint8_t cmd)
{
    switch (when.kind) {
    case WHEN_EVERY:
        return true;
    case WHEN_REQUEST:
        return board->requests == when.number;
    case WHEN_COMMAND:
        return cmd == when.cmd;
    case WHEN_UPGRADE_BLOCK:
        return cmd == HPROTO_CMD_UPGRADE && board->upgrade_blocks == when.number;
    }
    return false;
}

struct Answer {
    uint8_t cmd = 0;
    std::vector<uint8_t> data;
};

// Fills in the error reply and logs why; true, so a check can return it.
bool Refuse(Board* board, uint8_t cmd, HProtoResult result, const char* why, Answer* refusal)
{
    Log(board, std::string("refused ") + CommandWordOf(cmd) + ": " + why);
    *refusal = Answer{0, {static_cast<uint8_t>(result)}};
    return true;
}

// What the firmware checks before it acts: true, with the error reply in *refusal, when it will
// not act. The board trusts nothing in the frame beyond its checksum.
bool Refused(Board* board, const Packet* request, Answer* refusal)
{
    uint8_t cmd = request->cmd;
    const uint8_t* data = request->cmd_data;
    const RequestRow* row = FindRequest(cmd);
    if (!row) {
        char line[40];
        snprintf(line, sizeof(line), "refused cmd %u: unknown", cmd);
        Log(board, line);
        *refusal = Answer{0, {HPROTO_ERROR_INVALID_CMD}};
        return true;
    }
    const RequestRule rule = FindRule(cmd);
    if (request->size != row->size)
        return Refuse(board, cmd, HPROTO_ERROR_INVALID_DATA, "wrong request size", refusal);
    if (board->boot_mode && rule.app_only)
        return Refuse(board, cmd, HPROTO_ERROR_INVALID_STATE, "boot loader running", refusal);
    if (cmd == HPROTO_CMD_UPGRADE && !board->boot_mode)
        return Refuse(board, cmd, HPROTO_ERROR_INVALID_STATE, "application running", refusal);
    if (cmd == HPROTO_CMD_MOVE && (data[0] > max_channel || data[1] > max_direction))
        return Refuse(board, cmd, HPROTO_ERROR_INVALID_DATA, "no such channel or direction",
                      refusal);
    if ((cmd == HPROTO_CMD_VEND || cmd == HPROTO_CMD_CALIBRATE || cmd == HPROTO_CMD_PRECALIBRATE) &&
        data[0] == 0)
        return Refuse(board, cmd, HPROTO_ERROR_INVALID_DATA, "no cell 0", refusal);
    if (rule.needs_idle && !board->phases.empty())
        return Refuse(board, cmd, HPROTO_ERROR_BUSY, "busy", refusal);
    // A board in the error state may still be put into its boot loader to be reflashed.
    if (rule.app_only && rule.needs_idle && board->state == CONTROLLER_STATE_ERROR)
        return Refuse(board, cmd, HPROTO_ERROR_INVALID_STATE, "error state, recover first",
                      refusal);
    return false;
}

Answer ReportStatus(Board* board)
{
    Log(board, "status");
    // The boot loader has no application state to report.
    uint8_t state = board->boot_mode ? CONTROLLER_STATE_NONE : board->state;
    uint32_t mask = board->error_mask;
    return Answer{HPROTO_CMD_STATUS,
                  {state, static_cast<uint8_t>(mask), static_cast<uint8_t>(mask >> 8),
                   static_cast<uint8_t>(mask >> 16), static_cast<uint8_t>(mask >> 24)}};
}

// The oldest piece of the debug queue; a debug poll is not logged itself, or polling would
// never empty the queue.
Answer TakeDebugPiece(Board* board)
{
    size_t n = std::min(board->debug_queue.size(), debug_piece_max);
    Answer answer{HPROTO_CMD_DEBUG,
                  {board->debug_queue.begin(), board->debug_queue.begin() + static_cast<long>(n)}};
    board->debug_queue.erase(0, n);
    return answer;
}

// Move, home, calibrate, precalibrate and vend: the reply goes back at once, the motion runs on.
Answer StartRequestedMotion(Board* board, const Packet* request, double now_ms)
{
    const uint8_t* data = request->cmd_data;
    const uint32_t motion = board->config.motion_ms;
    char line[80];
    std::vector<MotionPhase> phases;
    switch (request->cmd) {
    case HPROTO_CMD_MOVE:
        snprintf(line, sizeof(line), "move channel %u direction %u steps %u", data[0], data[1],
                 data[2]);
        // A manual axis move runs in the calibration mode of the motion controller.
        phases = {{CONTROLLER_STATE_CALIBRATION, motion}};
        break;
    case HPROTO_CMD_GOHOME:
        snprintf(line, sizeof(line), "home");
        phases = {{CONTROLLER_STATE_GOHOME, motion}};
        break;
    case HPROTO_CMD_CALIBRATE:
        snprintf(line, sizeof(line), "calibrate cell %u", data[0]);
        phases = {{CONTROLLER_STATE_CALIBRATION, motion}};
        break;
    case HPROTO_CMD_PRECALIBRATE:
        snprintf(line, sizeof(line), "precalibrate cell %u", data[0]);
        phases = {{CONTROLLER_STATE_PRECALIBRATE, motion}};
        break;
    default:
        snprintf(line, sizeof(line), "vend cell %u", data[0]);
        phases = {{CONTROLLER_STATE_VEND, motion}, {CONTROLLER_STATE_VENDED, motion}};
        break;
    }
    Log(board, line);
    StartMotion(board, std::move(phases), now_ms);
    return Answer{request->cmd, {}};
}

// One upgrade block, written at its offset (most significant byte first) into the image.
Answer StoreBlock(Board* board, const uint8_t* data)
{
    Answer answer{HPROTO_CMD_UPGRADE, {}};
    uint32_t offset = static_cast<uint32_t>(data[0]) << 24 | static_cast<uint32_t>(data[1]) << 16 |
                      static_cast<uint32_t>(data[2]) << 8 | data[3];
    if (offset > board->config.image_limit ||
        board->config.image_limit - offset < upgrade_block_size) {
        Refuse(board, HPROTO_CMD_UPGRADE, HPROTO_ERROR_INVALID_DATA, "block beyond the image",
               &answer);
        return answer;
    }
    char line[40];
    snprintf(line, sizeof(line), "upgrade block at %u", offset);
    Log(board, line);
    if (board->image.size() < offset + upgrade_block_size)
        board->image.resize(offset + upgrade_block_size, 0xFF);
    std::copy(data + 4, data + 4 + upgrade_block_size, board->image.begin() + offset);
    return answer;
}

// The real work of one request.
Answer Serve(Board* board, const Packet* request, double now_ms)
{
    Answer answer;
    if (Refused(board, request, &answer))
        return answer;
    const uint8_t cmd = request->cmd;
    switch (cmd) {
    case HPROTO_CMD_PING:
        Log(board, "ping");
        return Answer{cmd, {}};
    case HPROTO_CMD_ID:
        Log(board, "id");
        return Answer{cmd, {board->config.device, board->config.major, board->config.minor}};
    case HPROTO_CMD_STATUS:
        return ReportStatus(board);
    case HPROTO_CMD_DEBUG:
        return TakeDebugPiece(board);
    case HPROTO_CMD_MOVE:
    case HPROTO_CMD_GOHOME:
    case HPROTO_CMD_CALIBRATE:
    case HPROTO_CMD_PRECALIBRATE:
    case HPROTO_CMD_VEND:
        return StartRequestedMotion(board, request, now_ms);
    case HPROTO_CMD_RECOVER:
        Log(board, "recover");
        if (board->state == CONTROLLER_STATE_ERROR) {
            board->error_mask = 0;
            SetState(board, CONTROLLER_STATE_IDLE);
        }
        return Answer{cmd, {}};
    case HPROTO_CMD_SWITCH_BOOT_APP:
        Log(board, "switch to boot loader");
        board->boot_mode = true;
        return Answer{cmd, {}};
    case HPROTO_CMD_UPGRADE:
        return StoreBlock(board, request->cmd_data);
    }
    return Answer{0, {HPROTO_ERROR_INVALID_CMD}};
}

// The injections planned for this request; a targeted one is spent once it fires.
std::vector<const Injection*> FireInjections(Board* board, uint8_t cmd)
{
    std::vector<const Injection*> firing;
    for (Injection& injection : board->config.injections) {
        if (injection.kind == INJECT_CORRUPT || injection.spent ||
            !Matches(injection.when, board, cmd))
            continue;
        if (injection.when.kind != WHEN_EVERY)
            injection.spent = true;
        firing.push_back(&injection);
    }
    return firing;
}

// The last firing injection of that kind, or null.
const Injection* Firing(const std::vector<const Injection*>& firing, InjectKind kind)
{
    const Injection* found = nullptr;
    for (const Injection* injection : firing) {
        if (injection->kind == kind)
            found = injection;
    }
    return found;
}

// Planned faults strike after the request was served, so the request itself still succeeds.
void StrikeFaults(Board* board, uint8_t cmd)
{
    for (FaultPlan& fault : board->config.faults) {
        if (fault.spent || !Matches(fault.when, board, cmd))
            continue;
        fault.spent = true;
        board->phases.clear();
        board->error_mask |= 1u << fault.error;
        Log(board, std::string("fault ") + error_names[fault.error]);
        SetState(board, CONTROLLER_STATE_ERROR);
    }
}

// The injections that change what the reply says, before it is framed.
void MangleAnswer(const std::vector<const Injection*>& firing, uint8_t cmd, Answer* answer)
{
    for (const Injection* injection : firing) {
        if (injection->kind == INJECT_CMD)
            answer->cmd = static_cast<uint8_t>(injection->arg);
        if (injection->kind == INJECT_SHORT) {
            size_t keep = cmd == HPROTO_CMD_STATUS ? 3 : cmd == HPROTO_CMD_ID ? 2 : 0;
            answer->data.resize(std::min(answer->data.size(), keep));
        }
    }
}

// The injections that damage the framed reply, applied in the order they were given.
void MangleFrame(const std::vector<const Injection*>& firing, std::vector<uint8_t>* frame)
{
    for (const Injection* injection : firing) {
        if (injection->kind == INJECT_BADCRC)
            frame->back() ^= 0x5A;
        if (injection->kind == INJECT_SIZE) {
            // The bytes stay those of the real reply (checksum included), padded out to the
            // claimed size so a reader that trusts the size byte finds enough bytes.
            (*frame)[1] = static_cast<uint8_t>(injection->arg);
            if (frame->size() < injection->arg)
                frame->resize(injection->arg, 0x00);
        }
    }
}

// How the framed reply goes onto the line: after noise, in pieces, late, not at all or cut off
// by a hang-up.
Outgoing PlanDelivery(Board* board, const std::vector<const Injection*>& firing,
                      const std::vector<uint8_t>& frame)
{
    Outgoing out;
    for (const Injection* injection : firing) {
        if (injection->kind == INJECT_NOISE) {
            for (size_t i = 0; i < injection->arg; ++i) {
                uint8_t b = static_cast<uint8_t>(0xA3 + i * 29);
                out.bytes.push_back(b == hproto_sync ? 0xAA : b);
            }
        } else if (injection->kind == INJECT_SPLIT) {
            out.piece = injection->arg;
            out.piece_delay_ms = injection->arg2;
        } else if (injection->kind == INJECT_DELAY) {
            out.delay_ms = injection->arg;
        }
    }
    out.frame_offset = out.bytes.size();
    out.bytes.insert(out.bytes.end(), frame.begin(), frame.end());
    if (Firing(firing, INJECT_SILENCE)) {
        out.bytes.clear();
        out.frame_offset = 0;
    }
    if (!out.bytes.empty() &&
        (out.delay_ms > 0 || (out.piece_delay_ms > 0 && out.piece < out.bytes.size())))
        ++board->late;
    for (const Injection* injection : firing) {
        if (injection->kind == INJECT_HANGUP || injection->kind == INJECT_HANGUP_MID) {
            out.hangup = true;
            size_t after = injection->kind == INJECT_HANGUP ? 0 : injection->arg;
            out.hangup_after = std::min(after, out.bytes.size());
        }
    }
    return out;
}

}  // namespace

const char* BoardStateName(ControllerState state)
{
    return StateName(state);
}

bool ParseWhen(const std::string& text, When* when, std::string* error)
{
    *when = When{};
    if (text.empty()) {
        *error = "empty @ target";
        return false;
    }
    if (text.compare(0, 8, "upgrade#") == 0) {
        when->kind = WHEN_UPGRADE_BLOCK;
        when->cmd = HPROTO_CMD_UPGRADE;
        if (ParseUnsigned(text.substr(8), UINT32_MAX, &when->number) && when->number > 0)
            return true;
        *error = "bad block number in @" + text;
        return false;
    }
    for (const RequestRow& row : request_table) {
        if (text == row.word) {
            when->kind = WHEN_COMMAND;
            when->cmd = row.cmd;
            return true;
        }
    }
    if (ParseUnsigned(text, UINT32_MAX, &when->number) && when->number > 0) {
        when->kind = WHEN_REQUEST;
        return true;
    }
    *error = "unknown @ target: " + text;
    return false;
}

bool ParseInjection(const std::string& text, Injection* injection, std::string* error)
{
    *injection = Injection{};
    size_t at = text.find('@');
    if (at != std::string::npos && !ParseWhen(text.substr(at + 1), &injection->when, error))
        return false;
    std::vector<std::string> parts = SplitColons(text.substr(0, at));
    const std::string& kind = parts[0];
    struct KindShape {
        const char* name;
        InjectKind kind;
        size_t args;
        uint32_t max1;
        uint32_t max2;
    };
    static const KindShape kinds[] = {
        {"noise", INJECT_NOISE, 1, max_noise, 0},
        {"split", INJECT_SPLIT, 2, 254, 10000},
        {"badcrc", INJECT_BADCRC, 0, 0, 0},
        {"error", INJECT_ERROR, 1, 255, 0},
        {"cmd", INJECT_CMD, 1, 255, 0},
        {"short", INJECT_SHORT, 0, 0, 0},
        {"size", INJECT_SIZE, 1, 255, 0},
        {"silence", INJECT_SILENCE, 0, 0, 0},
        {"hangup", INJECT_HANGUP, 0, 0, 0},
        {"hangup-mid", INJECT_HANGUP_MID, 1, 600, 0},
        {"corrupt", INJECT_CORRUPT, 2, 100, UINT32_MAX},
        {"drop", INJECT_DROP, 0, 0, 0},
        {"delay", INJECT_DELAY, 1, 60000, 0},
    };
    for (const KindShape& k : kinds) {
        if (kind != k.name)
            continue;
        if (parts.size() != k.args + 1) {
            *error = "wrong number of arguments in --inject " + text;
            return false;
        }
        injection->kind = k.kind;
        // The corruption rate may be a fraction of a percent: a realistic noisy line is.
        const bool first_ok =
            k.args == 0 ||
            (k.kind == INJECT_CORRUPT ? ParsePercent(parts[1], &injection->arg)
                                      : ParseUnsigned(parts[1], k.max1, &injection->arg));
        if (!first_ok || (k.args >= 2 && !ParseUnsigned(parts[2], k.max2, &injection->arg2))) {
            *error = "bad number in --inject " + text;
            return false;
        }
        if (k.kind == INJECT_SPLIT && injection->arg == 0) {
            *error = "split pieces must hold at least one byte";
            return false;
        }
        return true;
    }
    *error = "unknown injection: " + kind;
    return false;
}

bool ParseFault(const std::string& text, FaultPlan* fault, std::string* error)
{
    *fault = FaultPlan{};
    size_t at = text.find('@');
    if (at != std::string::npos && !ParseWhen(text.substr(at + 1), &fault->when, error))
        return false;
    std::string name = text.substr(0, at);
    for (int i = 0; i < CONTROLLER_ERROR_MAX; ++i) {
        if (name == error_names[i]) {
            fault->error = static_cast<ControllerError>(i);
            return true;
        }
    }
    *error = "unknown fault: " + name;
    return false;
}

bool ParseId(const std::string& text, BoardConfig* config, std::string* error)
{
    size_t colon = text.find(':');
    size_t dot = text.find('.', colon == std::string::npos ? 0 : colon);
    uint32_t device = 0, major = 0, minor = 0;
    if (colon == std::string::npos || dot == std::string::npos ||
        !ParseUnsigned(text.substr(0, colon), 255, &device, 16) ||
        !ParseUnsigned(text.substr(colon + 1, dot - colon - 1), 255, &major) ||
        !ParseUnsigned(text.substr(dot + 1), 255, &minor)) {
        *error = "--id wants DEV:MAJOR.MINOR (hex device, decimal versions, each 0-255): " + text;
        return false;
    }
    config->device = static_cast<uint8_t>(device);
    config->major = static_cast<uint8_t>(major);
    config->minor = static_cast<uint8_t>(minor);
    return true;
}

bool UnescapeText(const std::string& text, std::string* out, std::string* error)
{
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out->push_back(text[i]);
            continue;
        }
        char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (next == 'x' && i + 3 < text.size() &&
            isxdigit(static_cast<unsigned char>(text[i + 2])) &&
            isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out->push_back(static_cast<char>(strtoul(text.substr(i + 2, 2).c_str(), nullptr, 16)));
            i += 3;
            continue;
        }
        const char* from = "nrt\\";
        const char* to = "\n\r\t\\";
        const char* hit = next ? strchr(from, next) : nullptr;
        if (!hit) {
            *error = "bad escape in text: " + text.substr(i, 4);
            return false;
        }
        out->push_back(to[hit - from]);
        ++i;
    }
    return true;
}

void BoardInit(Board* board, const BoardConfig& config, double now_ms)
{
    *board = Board{};
    board->config = config;
    board->phase_start_ms = now_ms;
    board->debug_queue = config.debug_text;
    board->boot_mode = config.start_in_boot_loader;
    for (const Injection& injection : config.injections) {
        if (injection.kind == INJECT_CORRUPT) {
            board->corrupt = true;
            board->corrupt_thousandths = injection.arg;
            board->corrupt_rng.seed(injection.arg2);
        }
    }
    for (FaultPlan& fault : board->config.faults) {
        if (fault.when.kind == WHEN_EVERY) {
            board->state = CONTROLLER_STATE_ERROR;
            board->error_mask |= 1u << fault.error;
            fault.spent = true;
        }
    }
}

void BoardTick(Board* board, double now_ms)
{
    while (!board->phases.empty() &&
           now_ms >= board->phase_start_ms + board->phases.front().duration_ms) {
        board->phase_start_ms += board->phases.front().duration_ms;
        board->phases.erase(board->phases.begin());
        SetState(board,
                 board->phases.empty() ? CONTROLLER_STATE_IDLE : board->phases.front().state);
    }
}

Outgoing BoardHandle(Board* board, const Packet* request, double now_ms)
{
    BoardTick(board, now_ms);
    const uint8_t cmd = request->cmd;
    ++board->requests;
    if (cmd == HPROTO_CMD_UPGRADE)
        ++board->upgrade_blocks;

    // Not even a refusal: the tool must not count on a boot loader answering anything else.
    if (board->boot_mode && board->config.strict_boot_loader && cmd != HPROTO_CMD_UPGRADE) {
        ++board->ignored;
        Log(board, std::string("boot loader ignored ") + CommandWordOf(cmd));
        return Outgoing{};
    }
    const std::vector<const Injection*> firing = FireInjections(board, cmd);
    // As if the request never arrived whole: nothing happens and nothing goes back.
    if (Firing(firing, INJECT_DROP)) {
        ++board->dropped;
        return Outgoing{};
    }
    // An injected error reply stands for a board that refused the request, so it has no effect.
    Answer answer;
    if (const Injection* refusal = Firing(firing, INJECT_ERROR)) {
        answer = Answer{0, {static_cast<uint8_t>(refusal->arg)}};
        Log(board, std::string("refused ") + CommandWordOf(cmd) + ": injected error");
    } else {
        answer = Serve(board, request, now_ms);
    }
    StrikeFaults(board, cmd);
    MangleAnswer(firing, cmd, &answer);
    Packet reply{};
    std::vector<uint8_t> frame =
        BuildFrame(&reply, answer.cmd, answer.data.data(), answer.data.size());
    MangleFrame(firing, &frame);
    return PlanDelivery(board, firing, frame);
}

std::vector<uint8_t> BoardImage(const Board* board)
{
    return board->image;
}

void BoardCorrupt(Board* board, uint8_t* bytes, size_t count)
{
    if (!board->corrupt)
        return;
    std::uniform_int_distribution<uint32_t> percent(0, 99999);
    std::uniform_int_distribution<uint32_t> bit(0, 7);
    for (size_t i = 0; i < count; ++i) {
        if (percent(board->corrupt_rng) < board->corrupt_thousandths) {
            bytes[i] ^= static_cast<uint8_t>(1u << bit(board->corrupt_rng));
            ++board->corrupted_bytes;
        }
    }
}
