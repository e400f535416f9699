// catalog_pg_absent.cpp - catalog_pg_open of a build without libpq: the
// PostgreSQL catalog is refused with the reason.
#include "tools/server/store.h"

catalog catalog_pg_open(const std::string&, bool, std::string* err) {
    *err = "this tavni-server was built without PostgreSQL support";
    return catalog{nullptr, nullptr};
}
