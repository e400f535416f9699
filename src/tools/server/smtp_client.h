// smtp_client.h - hands one message for one recipient to the SMTP relay, on
// libcurl, and tells what came of it as an outbox verdict with the relay's
// own words.
//
// One connection per message: reports are few, and a connection of its own
// keeps each try's transcript apart. smtp:// upgrades to TLS with STARTTLS
// whenever the relay offers it, and insists on it when there is a log-in (a
// password never crosses in clear); smtps:// is TLS from the start.
// Certificates are checked against the system's authorities.
#pragma once

#include "tools/server/outbox.h"
#include "tools/server/smtp_settings.h"

#include <atomic>
#include <string>

struct smtp_result {
    outbox_verdict verdict = OUTBOX_TRANSIENT;
    // The relay's reply that decided (a multi-line reply joined with
    // blanks, control characters dropped, at most 1000 bytes), or why no
    // reply came ("Failed to connect to ...").
    std::string reply;
};

// Whether this build can send mail through a relay: false with *why when it
// was built without libcurl or libcurl lacks SMTP.
bool smtp_available(std::string* why);

// Sends message (smtp_compose's) from cfg.from to rcpt. The verdict: sent
// (2xx to the end of the data); permanent for a 5xx to the sender, the
// recipient or the data; transient for a 4xx, a 5xx to the server's own
// greeting, log-in or TLS (the relay's set-up, not this message, is at
// fault: fixed, the next try goes through), and for no answer at all. stop
// (may be null): once true, the try is given up within about a second
// (OUTBOX_INTERRUPTED). Cannot fail otherwise.
smtp_result smtp_send(const smtp_config& cfg, const std::string& rcpt, const std::string& message,
                      const std::atomic<bool>* stop);
