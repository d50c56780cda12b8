// How long each exchange takes from the request written to the reply complete, against what the
// wire explains, and the one hint of a run whose replies come consistently late: a USB serial
// adapter that holds every short reply for its latency timer makes a stop-and-wait upload several
// times slower than the line, with nothing else to show why.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>


// The board's line: 115200 baud, 8N1, ten bit times a byte.
constexpr double turnaround_baud = 115200;
constexpr int turnaround_bits_per_byte = 10;
// The exchanges judged together, and the lateness (median over them) that earns the hint. A
// loaded machine delays some exchanges too, in bursts: so at least half of all the exchanges timed
// in the run must be that late as well, which a burst in a long upload is not.
constexpr int late_window = 16;
constexpr double late_threshold_ms = 8;
// A serial device server that holds what it reads before sending it on (ser2net's chardelay) adds
// a few milliseconds, not a latency timer's sixteen, and still costs a stop-and-wait upload half
// its speed: on a network port a smaller lateness earns the hint. Loopback and a LAN add well
// under a millisecond.
constexpr double net_late_threshold_ms = 2;

// What `bytes` bytes take on the line.
double WireMs(int bytes);
// The median lateness of the last late_window exchanges; -1 while fewer were timed.
double TypicalLateMs(const std::vector<double>& late_ms);
// Whether the hint is due: the median of the window at the threshold, and at least half of all
// `timed` exchanges (`late` of them at the threshold or more) as late.
bool SlowRepliesJudged(double typical_late_ms, int64_t late, int64_t timed,
                       double threshold_ms = late_threshold_ms);
// What the lateness costs, for the hint: over the `exchanges_left` exchanges of an upload (each
// `wire_ms` on the line), or per exchange when no upload is under way (0).
std::string SlowReplyCost(double late_ms, double wire_ms, int64_t exchanges_left);

// The run's timings; the tool has one line and one exchange outstanding at a time.
struct Turnarounds {
    std::chrono::steady_clock::time_point sent;
    int request_size = 0;         // 0: no request waits for its reply
    std::vector<double> late_ms;  // the last late_window exchanges
    int64_t timed = 0;            // every exchange timed in the run
    int64_t late = 0;             // those of them at the line's threshold or later
    int64_t work_left = 0;
    bool told = false;
};

// The verdict on the replies so far: whether the hint is due (once a run), and what the lateness
// costs. What to do about it depends on the line, which the caller knows.
struct SlowReplies {
    bool due = false;
    std::string cost;
};

// The upgrade says how many block exchanges are still to come, the one about to go included.
void TurnaroundWorkLeft(Turnarounds* timings, int64_t exchanges);
// The exchange layer reports a request written whole, and a good reply read whole.
void TurnaroundSent(Turnarounds* timings, int request_size);
// `threshold_ms`: the lateness that counts as late on this line (late_threshold_ms, or
// net_late_threshold_ms on a network port).
SlowReplies TurnaroundReplied(Turnarounds* timings, int reply_size, double threshold_ms);
