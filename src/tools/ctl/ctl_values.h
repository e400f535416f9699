// ctl_values.h - checks of schedule values that tavni-ctl makes before it
// writes a schedule (schedule new) and when it checks one (check): each says
// what is wrong in words an administrator can act on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Each returns true for a value the agent reads as meant; false with *why, a
// sentence fragment naming what is wrong (no option name, no fix).

// A decimal user id of 32 bits: digits only, at most 4294967295.
bool ctl_user_id_ok(const std::string& value, uint32_t* id, std::string* why);
// A local source or sync path: absolute, and an existing folder or file.
bool ctl_local_path_ok(const std::string& path, std::string* why);
// A destination on the server: an absolute remote path ("/1/Today").
bool ctl_dest_ok(const std::string& dest, std::string* why);
// One e-mail address: local part, one "@", domain; no blanks, commas,
// angle brackets or quotes (the agent hands it on as it stands).
bool ctl_address_ok(const std::string& address, std::string* why);
// An "Email=" value: addresses separated by commas; the agent splits it at
// every comma, so a flag digit there would become a recipient of its own.
bool ctl_email_list_ok(const std::string& value, std::string* why);
// A "schedule_email=" value: "FLAGS,ADDRESS" (FLAGS 0 to 3) or "ADDRESS".
bool ctl_recipient_ok(const std::string& value, std::string* why);
// A "filter=" value: FOLDER|FLAGS|PATTERN;PATTERN... (FLAGS 0 to 3, at least
// one pattern); the agent drops an ill-formed one without a word.
bool ctl_filter_ok(const std::string& value, std::string* why);
// 64 hexadecimal digits.
bool ctl_hex_key_ok(const std::string& value);
// The sources (Src=) and filtered folders (the FOLDER of each filter=) of a
// schedule, less what XSrc= excludes, each under a server name of its own
// (mirror=: the schedule's value, empty for the default 1). false with *why
// naming the first pair that would share one (without mirroring, "/x/docs"
// and "/y/docs" are both "docs"): the agent backs up only the first.
bool ctl_server_names_ok(const std::vector<std::string>& src, const std::vector<std::string>& xsrc,
                         const std::vector<std::string>& filters, const std::string& mirror,
                         std::string* why);
