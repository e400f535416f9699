// outbox.h - how a stored report's delivery to one recipient moves on after
// each try: sent, tried again later with a growing pause, or kept as bounced
// or given up. Pure functions of the delivery record, the policy and the
// time; the mailer (mailer.cpp) applies them and the catalog stores them.
#pragma once

#include "tools/server/store.h"

#include <cstdint>
#include <string>

struct outbox_policy {
    uint32_t retry_base_s = 60;         // the pause after the first failed try
    uint32_t retry_max_s = 3600;        // pauses double up to this
    uint32_t give_up_s = 2 * 24 * 3600; // not delivered this long after queued: failed
};

// What one try came to.
enum outbox_verdict {
    OUTBOX_SENT,        // the relay took the message
    OUTBOX_TRANSIENT,   // 4xx, or no answer (no connection, time-out, TLS failure)
    OUTBOX_PERMANENT,   // 5xx to the message: bounced
    OUTBOX_NOT_ADDRESS, // not tried: the recipient is no e-mail address
    OUTBOX_INTERRUPTED, // the server stopped during the try: due again at once, not counted
};

// The pause before the try after the attempts-th failed one: retry_base_s
// doubled for each earlier failure, at most retry_max_s. Cannot fail.
uint32_t outbox_backoff_s(const outbox_policy& p, uint32_t attempts);

// Applies a try's verdict at time now to *d (its state, attempts, times and
// reply; reply is the relay's text or why nothing was sent). A transient
// failure is retried until give_up_s after the delivery was queued, the last
// try falling due at that moment; after it the delivery is failed.
void outbox_settle(const outbox_policy& p, cat_delivery* d, outbox_verdict v,
                   const std::string& reply, int64_t now);

// A delivery never tried that waited past give_up_s (no relay was set, or no
// server ran) is given up without a try: an old report would only mislead.
bool outbox_stale(const outbox_policy& p, const cat_delivery& d, int64_t now);

// "queued", "sent", "retrying", "bounced", "failed", "refused"; "unknown"
// for another number.
const char* outbox_state_name(int state);
