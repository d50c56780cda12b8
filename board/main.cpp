// gantrix-board: the simulated controller board on a pseudo-terminal. Owns the line, the clock,
// pacing, tracing and the files tests read; all behaviour lives in BoardModel.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <string>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "BoardModel.h"
#include "Scanner.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void OnStopSignal(int)
{
    stop_requested = 1;
}

struct Options {
    BoardConfig config;
    std::string link;
    std::string image_out;
    std::string record;
    std::string stats;
    std::string trace;  // "-" for stderr
    bool tracing = false;
    uint32_t exit_after = 0;
    uint32_t baud = 0;
    uint32_t latency_ms = 0;
};

struct Line {
    int master = -1;
    // Held open so the master never reads a hang-up while no tool has the slave open.
    int slave = -1;
    std::string path;
};

struct Counters {
    uint64_t bytes_in = 0;
    uint64_t bytes_out = 0;
};

// Where the paced line stands, in CLOCK_MONOTONIC nanoseconds. Deadlines are carried from byte to
// byte rather than restarted from "now", so a late wake-up is made up by the next one instead of
// adding up over a long upload.
struct LineClock {
    double byte_ns = 0;  // one 8N1 byte: 10 bit times; 0 when unpaced
    double rx_done = 0;  // when the last byte received so far would have finished arriving
    double tx_done = 0;  // when the last byte sent so far would have finished arriving
};

// The data bytes of one USB packet of the common USB serial adapters: 64 bytes, two of which carry
// the modem status.
constexpr size_t adapter_packet_bytes = 62;

// A USB serial adapter between the board and the tool (--latency): what the board sends is held
// until the adapter's packet is full or its latency timer, started by the first byte held, runs
// out.
struct AdapterHold {
    double latency_ns = 0;  // 0: no adapter, every byte goes straight on
    std::vector<uint8_t> held;
    double flush_at = 0;
};

// Everything one run of the board holds from request to request.
struct Session {
    Options options;
    Board board;
    Line line;
    LineClock clock;
    AdapterHold hold;
    Counters counters;
    FILE* trace = nullptr;
    FILE* record = nullptr;
    std::string stats_written;     // what the --stats file says now
    std::vector<uint8_t> pending;  // bytes read but not yet a whole request
};

const char* const usage_text =
    "Usage: gantrix-board [options]\n"
    "Simulated gantrix controller board on a pseudo-terminal. Prints the device to open as its\n"
    "first line; after a hang-up it opens a new one and prints that as a new line.\n"
    "\n"
    "  --link PATH          symlink PATH to the device (replaced, removed on exit)\n"
    "  --id DEV:MAJOR.MINOR id reply: hex device, decimal version (default 2B:1.4)\n"
    "  --motion-ms N        duration of each motion phase (default 200)\n"
    "  --fault NAME[@WHEN]  enter the error state with that flag: motor_timeout, motor_jam,\n"
    "                       pump_overrun, product_loss, error_go_home; without @ from the start,\n"
    "                       else right after the reply to the targeted request\n"
    "  --inject KIND[:ARG...][@WHEN]  mangle replies (repeatable): noise:N, split:PIECE:MS,\n"
    "                       badcrc, error:CODE, cmd:VALUE, short, size:VALUE, silence, hangup,\n"
    "                       hangup-mid:K, drop (no reply, no effect), delay:MS,\n"
    "                       corrupt:PERCENT:SEED (both directions, ignores @;\n"
    "                       PERCENT may have three decimals: 0.1)\n"
    "                       WHEN: N (request number), a command word (ping id status move home\n"
    "                       calibrate precalibrate vend recover switch upgrade debug; the next\n"
    "                       one), upgrade#K (K-th block); without @: every request\n"
    "  --boot-loader strict|lenient  after the switch, answer upgrade blocks only (strict, the\n"
    "                       default; every other request is ignored) or also ping, id, status\n"
    "                       and debug (lenient)\n"
    "  --start-in-boot-loader  start in the boot loader, as after an upload that was cut off\n"
    "  --debug-text TEXT    preload the debug queue (\\xNN \\n \\r \\t \\\\ escapes)\n"
    "  --image-out FILE     write the upgraded image on exit, up to the end of the highest block\n"
    "  --image-size N       largest image accepted in bytes (default 4194304)\n"
    "  --baud N             pace both directions like an 8N1 line at N baud\n"
    "  --latency MS         hold each reply like a USB serial adapter's latency timer: MS ms\n"
    "                       after its first byte, or at once when 62 bytes are held\n"
    "  --trace [FILE]       timestamped hex dump of every frame (default stderr)\n"
    "  --record FILE        append 'RX <hex>' for every request frame received\n"
    "  --stats FILE         bytes_in, bytes_out, requests, blocks, corrupted, dropped, late,\n"
    "                       ignored;\n"
    "                       rewritten after each request\n"
    "  --exit-after N       exit after replying to N requests\n"
    "  --help               this text\n";

const char* const valued_switches =
    " --link --id --motion-ms --fault --inject --debug-text --image-out --image-size --baud"
    " --latency --record --stats --exit-after --boot-loader ";

bool ParseCount(const char* text, uint32_t* value)
{
    char* end = nullptr;
    unsigned long v = strtoul(text, &end, 10);
    if (!*text || *end || text[0] == '-' || v > UINT32_MAX)
        return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

// Stores the value of a switch listed in valued_switches; false when the value is bad.
bool TakeValue(const std::string& arg, const char* value, Options* options, std::string* error)
{
    BoardConfig* config = &options->config;
    if (arg == "--link") {
        options->link = value;
    } else if (arg == "--image-out") {
        options->image_out = value;
    } else if (arg == "--record") {
        options->record = value;
    } else if (arg == "--stats") {
        options->stats = value;
    } else if (arg == "--boot-loader") {
        config->strict_boot_loader = std::string(value) == "strict";
        return config->strict_boot_loader || std::string(value) == "lenient";
    } else if (arg == "--id") {
        return ParseId(value, config, error);
    } else if (arg == "--motion-ms") {
        return ParseCount(value, &config->motion_ms);
    } else if (arg == "--image-size") {
        return ParseCount(value, &config->image_limit);
    } else if (arg == "--baud") {
        return ParseCount(value, &options->baud);
    } else if (arg == "--latency") {
        return ParseCount(value, &options->latency_ms) && options->latency_ms <= 1000;
    } else if (arg == "--exit-after") {
        return ParseCount(value, &options->exit_after);
    } else if (arg == "--debug-text") {
        std::string text;
        bool ok = UnescapeText(value, &text, error);
        config->debug_text += text;
        return ok;
    } else if (arg == "--fault") {
        FaultPlan fault;
        bool ok = ParseFault(value, &fault, error);
        config->faults.push_back(fault);
        return ok;
    } else if (arg == "--inject") {
        Injection injection;
        bool ok = ParseInjection(value, &injection, error);
        config->injections.push_back(injection);
        return ok;
    }
    return true;
}

// Returns 0 to run, -1 after --help, otherwise the exit status of a bad switch.
int ParseOptions(int argc, char** argv, Options* options)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        std::string error;
        if (arg == "--help") {
            fputs(usage_text, stdout);
            return -1;
        }
        if (arg == "--trace") {
            // The file is optional: a next word that is a switch is not taken for one.
            const bool has_file = value && value[0] != '-';
            options->tracing = true;
            options->trace = has_file ? value : "-";
            i += has_file ? 1 : 0;
            continue;
        }
        if (arg == "--start-in-boot-loader") {
            options->config.start_in_boot_loader = true;
            continue;
        }
        if (arg.compare(0, 2, "--") != 0 ||
            strstr(valued_switches, (" " + arg + " ").c_str()) == nullptr) {
            fprintf(stderr, "gantrix-board: unknown switch %s (see --help)\n", arg.c_str());
            return 2;
        }
        if (!value) {
            fprintf(stderr, "gantrix-board: %s needs a value (see --help)\n", arg.c_str());
            return 2;
        }
        if (!TakeValue(arg, value, options, &error)) {
            fprintf(stderr, "gantrix-board: %s %s: %s\n", arg.c_str(), value,
                    error.empty() ? "bad value" : error.c_str());
            return 2;
        }
        ++i;
    }
    return 0;
}

double NowMs()
{
    using namespace std::chrono;
    static const steady_clock::time_point start = steady_clock::now();
    return duration<double, std::milli>(steady_clock::now() - start).count();
}

double NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// A relative sleep wakes late by the timer slack (50 us by default) plus the scheduler's delay,
// which at 115200 baud is several percent of a reply. So: an absolute deadline, and the last
// stretch spun, since even an absolute wake-up comes a few tens of microseconds late.
void SleepUntilNs(double when)
{
    constexpr double spin_ns = 60000;
    if (when - NowNs() > spin_ns) {
        double wake = when - spin_ns;
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(wake / 1e9);
        ts.tv_nsec = static_cast<long>(wake - static_cast<double>(ts.tv_sec) * 1e9);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
    while (NowNs() < when) {
    }
}

void CloseLine(Line* line)
{
    if (line->master >= 0)
        close(line->master);
    if (line->slave >= 0)
        close(line->slave);
    *line = Line{};
}

void MakeRaw(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
}

bool OpenLine(Line* line, const std::string& link)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || !ptsname(master)) {
        perror("gantrix-board: pty");
        if (master >= 0)
            close(master);
        return false;
    }
    line->master = master;
    line->path = ptsname(master);
    line->slave = open(line->path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line->slave < 0) {
        perror("gantrix-board: open slave");
        CloseLine(line);
        return false;
    }
    // No echo, no line editing, no CR/LF translation: the line carries binary frames.
    MakeRaw(line->slave);
    MakeRaw(line->master);
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(line->path.c_str(), link.c_str()) != 0)
            perror("gantrix-board: --link");
    }
    printf("%s\n", line->path.c_str());
    fflush(stdout);
    return true;
}

std::string HexLine(const uint8_t* bytes, size_t count)
{
    std::string out;
    char group[4];
    for (size_t i = 0; i < count; ++i) {
        snprintf(group, sizeof(group), i ? " %.2X" : "%.2X", bytes[i]);
        out += group;
    }
    return out;
}

void Trace(FILE* trace, const char* direction, const uint8_t* bytes, size_t count)
{
    if (!trace || count == 0)
        return;
    fprintf(trace, "[%10.3f ms] %s %zu bytes\n", NowMs(), direction, count);
    // DumpHex reads `size` bytes of a record: only a frame that really is that long goes through it.
    if (count >= 2 && bytes[0] == hproto_sync && bytes[1] == count && count <= proto_max_size) {
        Packet packet;
        memcpy(&packet, bytes, count);
        fprintf(trace, "%s\n", DumpHex(&packet).c_str());
    } else {
        fprintf(trace, "%s\n", HexLine(bytes, count).c_str());
    }
    fflush(trace);
}

void TraceNote(FILE* trace, const char* note)
{
    if (!trace)
        return;
    fprintf(trace, "[%10.3f ms] %s\n", NowMs(), note);
    fflush(trace);
}

// Writes all of `bytes` to the line; false when it failed.
bool WriteAll(int fd, const uint8_t* bytes, size_t count, Counters* counters)
{
    size_t done = 0;
    while (done < count) {
        ssize_t written = write(fd, bytes + done, count - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<size_t>(written);
        counters->bytes_out += static_cast<uint64_t>(written);
    }
    return true;
}

// Hands what the adapter holds to the line once its timer has run out by `until` (waiting for
// that moment); with `until` 0, whenever the timer runs out.
bool FlushHold(int fd, AdapterHold* hold, double until, Counters* counters)
{
    if (hold->held.empty() || (until > 0 && hold->flush_at > until))
        return true;
    SleepUntilNs(hold->flush_at);
    bool ok = WriteAll(fd, hold->held.data(), hold->held.size(), counters);
    hold->held.clear();
    return ok;
}

// Bytes that reached the adapter at `arrived_ns`: through at once without one, else held.
bool Deliver(int fd, const uint8_t* bytes, size_t count, double arrived_ns, AdapterHold* hold,
             Counters* counters)
{
    if (hold->latency_ns <= 0)
        return WriteAll(fd, bytes, count, counters);
    if (!FlushHold(fd, hold, arrived_ns, counters))
        return false;
    for (size_t i = 0; i < count; ++i) {
        if (hold->held.empty())
            hold->flush_at = arrived_ns + hold->latency_ns;
        hold->held.push_back(bytes[i]);
        if (hold->held.size() == adapter_packet_bytes) {
            if (!WriteAll(fd, hold->held.data(), hold->held.size(), counters))
                return false;
            hold->held.clear();
        }
    }
    return true;
}

// Writes at the line's pace. A chunk (about a millisecond of bytes) is handed over only when its
// last byte would have arrived, as a UART receiver delivers a byte after its stop bit; sending
// starts no earlier than the end of the request being answered.
bool WritePaced(int fd, const uint8_t* bytes, size_t count, uint32_t baud, LineClock* clock,
                AdapterHold* hold, Counters* counters)
{
    size_t chunk = baud ? std::max<size_t>(1, baud / 10000) : count;
    double start = std::max({clock->tx_done, clock->rx_done, NowNs()});
    size_t done = 0;
    while (done < count) {
        size_t n = std::min(chunk, count - done);
        if (baud) {
            clock->tx_done = start + static_cast<double>(done + n) * clock->byte_ns;
            SleepUntilNs(clock->tx_done);
        }
        // Paced, the chunk's first byte reached the adapter n - 1 byte times before its last.
        const double arrived =
            baud ? clock->tx_done - static_cast<double>(n - 1) * clock->byte_ns : NowNs();
        if (!Deliver(fd, bytes + done, n, arrived, hold, counters))
            return false;
        done += n;
    }
    return true;
}

// `written` holds what the file says now: an unchanged text is not written again.
void WriteStats(const Options& options, const Board& board, const Counters& counters,
                std::string* written)
{
    if (options.stats.empty())
        return;
    char text[200];
    snprintf(text, sizeof(text),
             "bytes_in %llu\nbytes_out %llu\nrequests %u\nblocks %u\ncorrupted %llu\n"
             "dropped %u\nlate %u\nignored %u\n",
             static_cast<unsigned long long>(counters.bytes_in),
             static_cast<unsigned long long>(counters.bytes_out), board.requests,
             board.upgrade_blocks, static_cast<unsigned long long>(board.corrupted_bytes),
             board.dropped, board.late, board.ignored);
    if (*written == text)
        return;
    FILE* f = fopen(options.stats.c_str(), "w");
    if (!f)
        return;
    fputs(text, f);
    fclose(f);
    *written = text;
}

void WriteImage(const Options& options, const Board& board)
{
    if (options.image_out.empty())
        return;
    FILE* f = fopen(options.image_out.c_str(), "wb");
    if (!f) {
        perror("gantrix-board: --image-out");
        return;
    }
    std::vector<uint8_t> image = BoardImage(&board);
    fwrite(image.data(), 1, image.size(), f);
    fclose(f);
}

// Writes the reply, or the part of it before a hang-up, in its pieces and at the line's pace.
bool WritePieces(const Outgoing& out, const std::vector<uint8_t>& bytes, size_t limit, Session* s)
{
    const int fd = s->line.master;
    const size_t piece = out.piece ? out.piece : limit;
    for (size_t done = 0; done < limit;) {
        if (done > 0 && out.piece_delay_ms) {
            // The adapter's timer keeps running while the board pauses.
            const double resume = NowNs() + out.piece_delay_ms * 1e6;
            if (!FlushHold(fd, &s->hold, resume, &s->counters))
                return false;
            SleepUntilNs(resume);
        }
        size_t n = std::min(piece, limit - done);
        if (!WritePaced(fd, bytes.data() + done, n, s->options.baud, &s->clock, &s->hold,
                        &s->counters))
            return false;
        done += n;
    }
    return FlushHold(fd, &s->hold, 0, &s->counters);
}

// Sends one reply as planned. Returns false when the plan (or the line) hung up.
bool SendReply(const Outgoing& out, Session* s)
{
    std::vector<uint8_t> bytes = out.bytes;
    if (bytes.empty() && !out.hangup) {
        TraceNote(s->trace, "TX silence");
        return true;
    }
    if (out.frame_offset > 0)
        Trace(s->trace, "TX noise", bytes.data(), out.frame_offset);
    Trace(s->trace, "TX", bytes.data() + out.frame_offset, bytes.size() - out.frame_offset);
    // Traced as planned, corrupted on the way: the trace shows what the board meant to send.
    BoardCorrupt(&s->board, bytes.data(), bytes.size());
    if (out.delay_ms) {
        TraceNote(s->trace, ("TX delayed " + std::to_string(out.delay_ms) + " ms").c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(out.delay_ms));
    }
    const size_t limit = out.hangup ? out.hangup_after : bytes.size();
    if (!WritePieces(out, bytes, limit, s))
        return false;
    if (out.hangup) {
        char note[64];
        snprintf(note, sizeof(note), "hang-up after %zu bytes", limit);
        TraceNote(s->trace, note);
        // Let the bytes reach the slave's queue before the line goes away.
        tcdrain(s->line.master);
        return false;
    }
    return true;
}

void CatchStopSignals()
{
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader gone from stdout or from a --trace pipe must not end the board.
    signal(SIGPIPE, SIG_IGN);
}

void OpenLogs(Session* s)
{
    const Options& options = s->options;
    if (options.tracing)
        s->trace = options.trace == "-" ? stderr : fopen(options.trace.c_str(), "a");
    if (!options.record.empty())
        s->record = fopen(options.record.c_str(), "a");
}

void StartPacing(Session* s)
{
    const Options& options = s->options;
#ifdef __linux__
    // Pacing sleeps end within a microsecond or so of their deadline instead of up to 50 us late.
    if (options.baud)
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    if (options.baud)
        s->clock.byte_ns = 1e10 / options.baud;
    s->hold.latency_ns = options.latency_ms * 1e6;
}

enum LineRead {
    LINE_READ_NOTHING,  // no byte within the poll, or an interrupted read: look again
    LINE_READ_BYTES,
    LINE_READ_FAILED,
};

// One read of what the line has, added to the pending bytes. The poll is bounded so a stop
// signal is seen within a twentieth of a second.
LineRead ReadLine(Session* s)
{
    pollfd pfd{s->line.master, POLLIN, 0};
    if (poll(&pfd, 1, 50) <= 0)
        return LINE_READ_NOTHING;
    uint8_t buf[512];
    ssize_t n = read(s->line.master, buf, sizeof(buf));
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return LINE_READ_NOTHING;
    if (n <= 0) {
        perror("gantrix-board: read");
        return LINE_READ_FAILED;
    }
    s->counters.bytes_in += static_cast<uint64_t>(n);
    if (s->options.baud)
        s->clock.rx_done =
            std::max(s->clock.rx_done, NowNs()) + static_cast<double>(n) * s->clock.byte_ns;
    BoardCorrupt(&s->board, buf, static_cast<size_t>(n));
    s->pending.insert(s->pending.end(), buf, buf + n);
    return LINE_READ_BYTES;
}

// Records, answers and counts one request. Returns false when the line hung up.
bool ServeRequest(Session* s, const Packet* request)
{
    const uint8_t* frame = reinterpret_cast<const uint8_t*>(request);
    if (s->record) {
        fprintf(s->record, "RX %s\n", HexLine(frame, request->size).c_str());
        fflush(s->record);
    }
    Trace(s->trace, "RX", frame, request->size);
    Outgoing out = BoardHandle(&s->board, request, NowMs());
    if (s->options.baud && (!out.bytes.empty() || out.hangup)) {
        // While the request is still on the wire there is time to spare: the file takes the
        // counters the reply will leave, so it need not be written once the tool has the reply
        // and may already be sending its next request.
        Counters after = s->counters;
        after.bytes_out += out.hangup ? out.hangup_after : out.bytes.size();
        WriteStats(s->options, s->board, after, &s->stats_written);
    }
    const bool sent = SendReply(out, s);
    WriteStats(s->options, s->board, s->counters, &s->stats_written);
    return sent;
}

// Answers every whole request among the pending bytes and keeps what is left of the next one.
// Sets *done once --exit-after is reached; returns false when the line hung up.
bool ServePending(Session* s, bool* done)
{
    uint8_t* cursor = s->pending.data();
    uint32_t count = static_cast<uint32_t>(s->pending.size());
    bool line_up = true;
    while (Packet* request = ParsePacket(&cursor, &count)) {
        line_up = ServeRequest(s, request);
        if (s->options.exit_after && s->board.requests >= s->options.exit_after)
            *done = true;
        if (*done || !line_up)
            break;
    }
    s->pending.erase(s->pending.begin(), s->pending.begin() + (cursor - s->pending.data()));
    return line_up;
}

// Like a cable pulled and plugged back: the old device is gone, a new one appears. The new device
// is opened first: were the old one closed before, a tool that has already let go of it could see
// its number handed out again, and take the new device for the dead one.
bool ReplaceLine(Session* s)
{
    s->pending.clear();
    Line fresh;
    bool reopened = OpenLine(&fresh, s->options.link);
    CloseLine(&s->line);
    s->line = fresh;
    return reopened;
}

// Serves until a stop signal, --exit-after, a failed read or a hang-up that finds no new device.
void ServeLine(Session* s)
{
    bool done = false;
    while (!done && !stop_requested) {
        const LineRead read = ReadLine(s);
        if (read == LINE_READ_FAILED)
            return;
        if (read == LINE_READ_NOTHING || ServePending(s, &done))
            continue;
        if (!ReplaceLine(s))
            return;
    }
}

// The files tests read are written last, once no request can change them.
void EndSession(Session* s)
{
    if (!s->options.link.empty())
        unlink(s->options.link.c_str());
    WriteImage(s->options, s->board);
    WriteStats(s->options, s->board, s->counters, &s->stats_written);
    CloseLine(&s->line);
    if (s->record)
        fclose(s->record);
    if (s->trace && s->trace != stderr)
        fclose(s->trace);
}

}  // namespace

int main(int argc, char** argv)
{
    Session session;
    int parsed = ParseOptions(argc, argv, &session.options);
    if (parsed != 0)
        return parsed < 0 ? 0 : parsed;
    CatchStopSignals();
    OpenLogs(&session);
    BoardInit(&session.board, session.options.config, NowMs());
    if (!OpenLine(&session.line, session.options.link))
        return 1;
    StartPacing(&session);
    ServeLine(&session);
    EndSession(&session);
    return 0;
}
