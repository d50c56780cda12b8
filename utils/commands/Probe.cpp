// The port listing's probe: one ping per free port.
#include "Probe.h"

#include "proto/Exchange.h"
#include "proto/Protocol.h"

namespace {

ProbeResult ProbePort(PortInfo* info)
{
    Port port;
    if (!PortOpen(info->path, probe_timeout_ms, &port)) {
        info->busy = LastPortOpenError().busy;
        return info->busy ? PROBE_NOT_DONE : PROBE_NOT_OPENED;
    }
    ProbeResult result = PROBE_NOT_OPENED;
    // Set up as a run sets up its line, so that a board that answers here answers a run.
    if (PortSetUp(port) == LINE_READY) {
        Packet packet;
        packet.size = request_plain_size;
        packet.cmd = HPROTO_CMD_PING;
        // The exchange's failure lines are the normal outcome on a port without a board.
        ExchangeRun probe;
        probe.silent = true;
        port.run = &probe;
        const bool answered = ExchangePacket(port, &packet) && packet.cmd == HPROTO_CMD_PING;
        result = answered ? PROBE_ANSWERED : PROBE_SILENT;
    }
    PortClose(port);
    return result;
}

}  // namespace

void ProbePorts(std::vector<PortInfo>* ports)
{
    for (PortInfo& port : *ports)
        if (!port.busy && !port.console)
            port.probe = ProbePort(&port);
}
