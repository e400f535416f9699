// trace.h - one text line per decoded request, for comparing what two agent
// runs put on the wire (serve --trace). Only fields the agent chose are
// written; what a session or the clock decides is left out.
#pragma once

#include "tools/server/wire.h"

#include <cstdint>
#include <string>

// The trace line of a request of connection conn (numbered from 1 in the
// order the server accepted them), without its line end. decode_rc is the
// decoder's result: a request it refused gives its type, sequence and code
// only. Texts from the peer are escaped (every byte outside 0x21..0x7e, and
// '%', as %XX), so that a line stays one line of space-separated fields;
// payloads appear as their length and SHA-256.
//
// Left out: the key digest of a log-in (a credential), the time stamp of a
// release (the agent's clock), and a mail's body and lengths (they carry the
// job's times and durations).
std::string srv_trace_line(uint64_t conn, const srv_request& rq, uint8_t decode_rc);
