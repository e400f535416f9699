// smtp_client_absent.cpp - the relay client of a build without libcurl:
// serving with --smtp is refused with a sentence that says so.
#include "tools/server/smtp_client.h"

static const char kNoSmtp[] = "this tavni-server was built without libcurl: --smtp is unavailable";

bool smtp_available(std::string* why) {
    *why = kNoSmtp;
    return false;
}

smtp_result smtp_send(const smtp_config&, const std::string&, const std::string&,
                      const std::atomic<bool>*) {
    smtp_result r;
    r.reply = kNoSmtp;
    return r;
}
