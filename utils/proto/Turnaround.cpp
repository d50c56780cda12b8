// Turnaround of the exchanges and the slow-adapter hint.
#include "Turnaround.h"

#include <algorithm>
#include <chrono>
#include <cstdio>


namespace {

using Clock = std::chrono::steady_clock;

std::string Format(const char* format, double a, double b, double c)
{
    char text[160];
    std::snprintf(text, sizeof(text), format, a, b, c);
    return text;
}

}  // namespace

double WireMs(int bytes)
{
    return bytes * turnaround_bits_per_byte * 1000.0 / turnaround_baud;
}

double TypicalLateMs(const std::vector<double>& late_ms)
{
    if (late_ms.size() < static_cast<size_t>(late_window))
        return -1;
    std::vector<double> last(late_ms.end() - late_window, late_ms.end());
    std::sort(last.begin(), last.end());
    return (last[late_window / 2 - 1] + last[late_window / 2]) / 2;
}

bool SlowRepliesJudged(double typical_late_ms, int64_t late, int64_t timed, double threshold_ms)
{
    return typical_late_ms >= threshold_ms && 2 * late >= timed;
}

std::string SlowReplyCost(double late_ms, double wire_ms, int64_t exchanges_left)
{
    const std::string head = Format("replies arrive %.0f ms late", late_ms, 0, 0);
    if (exchanges_left <= 0)
        return head + Format(": each exchange takes %.0f ms where the line needs %.1f ms",
                             wire_ms + late_ms, wire_ms, 0);
    const double left = static_cast<double>(exchanges_left);
    const double slow_s = left * (wire_ms + late_ms) / 1000;
    // Whole seconds, but a tenth where whole ones would read as nothing.
    const char* format = slow_s < 10
                             ? ": the rest of this upload (%.0f blocks) will take about %.1f s "
                               "instead of %.1f s"
                             : ": the rest of this upload (%.0f blocks) will take about %.0f s "
                               "instead of %.0f s";
    return head + Format(format, left, slow_s, left * wire_ms / 1000);
}

void TurnaroundWorkLeft(Turnarounds* timings, int64_t exchanges)
{
    timings->work_left = exchanges;
}

void TurnaroundSent(Turnarounds* timings, int request_size)
{
    timings->sent = Clock::now();
    timings->request_size = request_size;
}

SlowReplies TurnaroundReplied(Turnarounds* timings, int reply_size, double threshold_ms)
{
    Turnarounds& t = *timings;
    SlowReplies verdict;
    if (t.request_size == 0)
        return verdict;
    const double wire_ms = WireMs(t.request_size + reply_size);
    const double took_ms = std::chrono::duration<double, std::milli>(Clock::now() - t.sent).count();
    t.request_size = 0;
    if (t.work_left > 0)
        --t.work_left;
    if (t.told)
        return verdict;
    t.late_ms.push_back(took_ms - wire_ms);
    if (t.late_ms.size() > static_cast<size_t>(late_window))
        t.late_ms.erase(t.late_ms.begin());
    ++t.timed;
    if (took_ms - wire_ms >= threshold_ms)
        ++t.late;
    const double late_ms = TypicalLateMs(t.late_ms);
    if (!SlowRepliesJudged(late_ms, t.late, t.timed, threshold_ms))
        return verdict;
    t.told = true;
    verdict.due = true;
    verdict.cost = SlowReplyCost(late_ms, wire_ms, t.work_left);
    return verdict;
}
