// The port listing's probe: one ping per free port.
#include "Probe.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "Commands.h"
#include "proto/Exchange.h"
#include "proto/Protocol.h"

namespace {

// One port's outcome, and whether it was found busy.
struct Probed {
    bool done = false;
    bool busy = false;
    ProbeResult result = PROBE_NOT_DONE;
};

ProbeResult ProbePort(const std::string& path, bool* busy)
{
    PortOpening opening = OpenPort(path, probe_timeout_ms);
    if (!opening.port.IsOpen()) {
        *busy = opening.error.busy;
        return *busy ? PROBE_NOT_DONE : PROBE_NOT_OPENED;
    }
    Port& port = opening.port;
    // Set up as a run sets up its line, so that a board that answers here answers a run.
    if (PortSetUp(port) != LINE_READY)
        return PROBE_NOT_OPENED;
    Packet packet = Request(HPROTO_CMD_PING);
    // The exchange's failure lines are the normal outcome on a port without a board.
    Link probe(port);
    probe.silent = true;
    const bool answered = ExchangePacket(probe, &packet) && packet.cmd == HPROTO_CMD_PING;
    return answered ? PROBE_ANSWERED : PROBE_SILENT;
}

// What the probing threads share with the listing: it outlives a listing that stopped waiting.
struct ProbeBoard {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Probed> probed;
    size_t left = 0;
};

}  // namespace

void ProbePorts(std::vector<PortInfo>* ports)
{
    auto board = std::make_shared<ProbeBoard>();
    board->probed.resize(ports->size());
    for (size_t k = 0; k < ports->size(); ++k) {
        const PortInfo& port = (*ports)[k];
        if (port.busy || port.console)
            continue;
        ++board->left;
        // Detached: one stuck in its driver is left behind when the bound passes.
        std::thread([board, k, path = port.path] {
            Probed probed;
            probed.result = ProbePort(path, &probed.busy);
            probed.done = true;
            std::lock_guard<std::mutex> hold(board->lock);
            board->probed[k] = probed;
            --board->left;
            board->changed.notify_all();
        }).detach();
    }
    std::unique_lock<std::mutex> hold(board->lock);
    board->changed.wait_for(hold, std::chrono::milliseconds(probe_listing_ms),
                            [&board] { return board->left == 0; });
    for (size_t k = 0; k < ports->size(); ++k) {
        const Probed& probed = board->probed[k];
        if (!probed.done)
            continue;
        (*ports)[k].probe = probed.result;
        (*ports)[k].busy = probed.busy;
    }
}
