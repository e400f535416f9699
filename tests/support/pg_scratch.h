// pg_scratch.h - a fresh, empty PostgreSQL database for one test, made
// through the server that TAVNI_PG_CONNINFO names (tests/services/postgres.sh
// starts one) and dropped at the end.
#pragma once

#include "platform/platform.h"
#include "tools/server/store.h"

#include <atomic>
#include <cstdlib>
#include <string>

#ifdef TAVNI_HAVE_LIBPQ
#include <libpq-fe.h>
#endif

// Why the PostgreSQL cases cannot run here; empty when they can.
inline std::string pg_unavailable() {
#ifndef TAVNI_HAVE_LIBPQ
    return "this build has no PostgreSQL support (libpq-dev missing at configure time)";
#else
    const char* ci = getenv("TAVNI_PG_CONNINFO");
    if (!ci || !*ci)
        return "TAVNI_PG_CONNINFO is unset: start a server with tests/services/postgres.sh "
               "(ctest entry services.catalog_pg)";
    return "";
#endif
}

#ifdef TAVNI_HAVE_LIBPQ
struct pg_scratch {
    std::string admin;    // TAVNI_PG_CONNINFO
    std::string name;     // the database made
    std::string conninfo; // key=value pairs naming it

    // Makes the database; false with *err.
    bool make(std::string* err) {
        static std::atomic<int> n{0};
        admin = getenv("TAVNI_PG_CONNINFO");
        name = "tavni_test_" + std::to_string(plat_process_id()) + "_" + std::to_string(n++);
        if (!sql("DROP DATABASE IF EXISTS " + name) || !sql("CREATE DATABASE " + name)) {
            *err = last;
            return false;
        }
        char* perr = nullptr;
        PQconninfoOption* opts = PQconninfoParse(admin.c_str(), &perr);
        if (!opts) {
            *err = perr ? perr : "bad TAVNI_PG_CONNINFO";
            PQfreemem(perr);
            return false;
        }
        conninfo.clear();
        for (PQconninfoOption* o = opts; o->keyword; o++) {
            std::string k = o->keyword;
            if (k == "dbname" || !o->val) continue;
            conninfo += k + "='" + quoted(o->val) + "' ";
        }
        conninfo += "dbname='" + name + "'";
        PQconninfoFree(opts);
        return true;
    }
    ~pg_scratch() {
        if (!name.empty()) sql("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
    }

    // One statement on the admin connection (db: on the scratch database).
    bool sql(const std::string& text, bool db = false) {
        PGconn* c = PQconnectdb(db ? conninfo.c_str() : admin.c_str());
        bool ok = PQstatus(c) == CONNECTION_OK;
        PQsetNoticeProcessor(c, quiet, nullptr);
        if (ok) {
            PGresult* r = PQexec(c, text.c_str());
            ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
            PQclear(r);
        }
        if (!ok) last = PQerrorMessage(c);
        PQfinish(c);
        return ok;
    }
    // Ends every other connection to the scratch database, as a restart of
    // the database server or an administrator would.
    bool kick() {
        return sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" +
                   name + "' AND pid <> pg_backend_pid()");
    }

    std::string last;

  private:
    static void quiet(void*, const char*) {} // notices such as "does not exist, skipping"
    static std::string quoted(const std::string& v) {
        std::string out;
        for (char ch : v) {
            if (ch == '\'' || ch == '\\') out += '\\';
            out += ch;
        }
        return out;
    }
};
#endif
