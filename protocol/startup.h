#pragma once
// Start-up of the packet transport and the transaction engine, once per run
// before the first adapter is opened.

namespace aputil {

// Brings the transport and the transaction engine into their working state:
// probes the adapters and sets the engine's default parameters.
void InitPacketDriver();

}  // namespace aputil
