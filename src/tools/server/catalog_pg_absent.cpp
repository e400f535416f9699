// catalog_pg_absent.cpp - the PostgreSQL catalog of a build without libpq.
#include "tools/server/store.h"

catalog catalog_pg_open(const std::string&, bool, std::string* err) {
    *err = "this tavni-server was built without PostgreSQL support";
    return catalog{nullptr, nullptr};
}
