// The port listing's probe: one ping per free port.
#include "Probe.h"

#include "Commands.h"
#include "proto/Exchange.h"
#include "proto/Protocol.h"

namespace {

ProbeResult ProbePort(PortInfo* info)
{
    PortOpening opening = OpenPort(info->path, probe_timeout_ms);
    if (!opening.port.IsOpen()) {
        info->busy = opening.error.busy;
        return info->busy ? PROBE_NOT_DONE : PROBE_NOT_OPENED;
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

}  // namespace

void ProbePorts(std::vector<PortInfo>* ports)
{
    for (PortInfo& port : *ports)
        if (!port.busy && !port.console)
            port.probe = ProbePort(&port);
}
