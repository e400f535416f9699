// outbox.cpp - the delivery states of a stored report and the pauses
// between tries.
#include "tools/server/outbox.h"

#include <algorithm>

uint32_t outbox_backoff_s(const outbox_policy& p, uint32_t attempts) {
    uint64_t wait = std::max<uint32_t>(p.retry_base_s, 1);
    for (uint32_t i = 1; i < attempts && wait < p.retry_max_s; i++)
        wait *= 2;
    return static_cast<uint32_t>(std::min<uint64_t>(wait, std::max(p.retry_max_s, p.retry_base_s)));
}

void outbox_settle(const outbox_policy& p, cat_delivery* d, outbox_verdict v,
                   const std::string& reply, int64_t now) {
    if (v == OUTBOX_INTERRUPTED) {
        // Not counted: the relay may not have seen it, or took it and the
        // next try sends it again (never lost, at worst twice).
        d->next_try = now;
        return;
    }
    d->reply = reply;
    if (v == OUTBOX_NOT_ADDRESS) {
        d->state = CAT_DLV_REFUSED;
        return;
    }
    d->attempts++;
    d->last_try = now;
    switch (v) {
    case OUTBOX_SENT:
        d->state = CAT_DLV_SENT;
        d->sent = now;
        return;
    case OUTBOX_PERMANENT:
        d->state = CAT_DLV_BOUNCED;
        return;
    default:
        break;
    }
    const int64_t deadline = d->queued + p.give_up_s;
    if (now >= deadline) {
        d->state = CAT_DLV_FAILED;
        return;
    }
    d->state = CAT_DLV_RETRYING;
    d->next_try = std::min<int64_t>(now + outbox_backoff_s(p, d->attempts), deadline);
}

bool outbox_stale(const outbox_policy& p, const cat_delivery& d, int64_t now) {
    return d.attempts == 0 && now - d.queued > static_cast<int64_t>(p.give_up_s);
}

const char* outbox_state_name(int state) {
    switch (state) {
    case CAT_DLV_QUEUED:
        return "queued";
    case CAT_DLV_SENT:
        return "sent";
    case CAT_DLV_RETRYING:
        return "retrying";
    case CAT_DLV_BOUNCED:
        return "bounced";
    case CAT_DLV_FAILED:
        return "failed";
    case CAT_DLV_REFUSED:
        return "refused";
    default:
        return "unknown";
    }
}
