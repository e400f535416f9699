// smtp_settings.h - the relay the server hands stored reports to: its
// address, the sender address, and the log-in read from an owner-only file.
//
// Checked once when serving starts, so that a mistake is told at once and
// not as a failure of every report later.
#pragma once

#include <cstdint>
#include <string>

struct smtp_config {
    std::string url;  // smtp://HOST[:PORT] (STARTTLS when offered) or smtps://HOST[:PORT]
    std::string from; // the envelope sender and the From: of every report
    std::string user; // empty: no log-in
    std::string password;
    uint32_t connect_timeout_s = 30; // to reach the relay and be greeted
    uint32_t timeout_s = 300;        // one whole try
};

// Whether url is smtp:// or smtps:// with a host and an optional port, and
// nothing else (no user, password, path or query). False with *err.
bool smtp_url_check(const std::string& url, std::string* err);

// Whether text is an address the server sends to: local@domain, printable
// ASCII without blanks, angle brackets, quotes or backslashes, at most 254
// bytes. Anything else (the agent's built-in "internal-backup-agent", or a
// line break smuggled into an envelope) is never given to the relay.
bool smtp_address_ok(const std::string& text);

// Reads the relay's log-in from path: lines "user=..." and "password=..."
// (blank lines and lines starting with '#' skipped). The file must be a
// regular file that no one but its owner may read or write: one that others
// may read is refused, with a message that says so. False with *err.
bool smtp_credentials_load(const std::string& path, smtp_config* cfg, std::string* err);
