// smtp_message.h - a stored report made into an Internet message for one
// recipient: headers (From, To, Subject, Date, Message-ID, MIME), the body
// as the agent composed it (plain text or HTML), lines ending CR LF.
//
// Pure functions: no clock, no network. The relay's dot-stuffing is the
// transport's (libcurl's) job.
#pragma once

#include <cstdint>
#include <string>

struct smtp_letter {
    std::string from;       // checked with smtp_address_ok
    std::string to;         // checked with smtp_address_ok
    int64_t date = 0;       // seconds since 1970: when the report arrived
    std::string message_id; // without angle brackets
    std::string body;       // the report, text or HTML, any line ends
};

// Whether the report is HTML (it starts, blanks aside, with "<").
bool smtp_body_is_html(const std::string& body);

// The subject of a report: an HTML report's <title>, else the first line
// that is not blank; at most 200 bytes, control characters dropped;
// "Tavni Backup report" when there is none.
std::string smtp_subject(const std::string& body);

// The message, CR LF line ends throughout. A body of plain ASCII with lines
// of at most 998 bytes goes as it is (7bit); any other in quoted-printable.
// Its charset is utf-8 when it is valid UTF-8, else windows-1252 (an agent
// on Windows writes its code page). A subject that is not ASCII is an
// RFC 2047 encoded word.
std::string smtp_compose(const smtp_letter& l);

// A Message-ID that stays the same for every try of one delivery, so that a
// message sent twice (a crash between the relay's answer and the catalog's
// record) can be told as one by the recipient's mail system:
// "tavni.MAIL.IDX.RECEIVED@DOMAIN", DOMAIN the sender's.
std::string smtp_message_id(int64_t mail, uint32_t idx, int64_t received, const std::string& from);
