// Records per second into each database: N board records stored one
// transaction each, as the station stores them, into a SQLite file and
// into a throwaway PostgreSQL server where one is installed. Prints one
// line per database: "sqlite records=N seconds=S" (or "postgresql
// unavailable: why").
#include "database.h"
#include "postgres_server.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace {

// A full test's record: 13 rows and 8 pins, as a board's is.
std::string record(int n)
{
    nlohmann::json rows = nlohmann::json::array(), pins = nlohmann::json::array();
    for (int r = 0; r < 13; r++)
        rows.push_back({{"driven", r}, {"read", r}, {"answered", true}});
    for (int p = 0; p < 8; p++)
        pins.push_back({{"pin", p}, {"status", "ok"}, {"with", nlohmann::json::array()}});
    return nlohmann::json{{"record_id", "bench-" + std::to_string(n)}, {"dut_id", "WT" + std::to_string(n)},
                          {"location", "1-1"}, {"channel", "A"}, {"station_id", "bench"}, {"test", "full"},
                          {"mode", "fast"}, {"start_time_millis", n}, {"end_time_millis", n},
                          {"outcome", "PASS"}, {"errors", 0}, {"rows", rows}, {"pins", pins}}
        .dump();
}

void measure(const char *name, station::db::Database &db, int count)
{
    const std::string session = R"({"session_id":"bench","station_id":"bench","started_millis":0,"version":"bench","options":""})";
    std::string why;
    if (!station::db::prepare_schema(db, why)) {
        printf("%s unavailable: %s\n", name, why.c_str());
        return;
    }
    auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < count; n++)
        if (!station::db::store_record(db, session, record(n), why)) {
            printf("%s unavailable: %s\n", name, why.c_str());
            return;
        }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%s records=%d seconds=%.6f\n", name, count, seconds);
}

} // namespace

int main(int argc, char **argv)
{
    int count = argc > 1 ? std::atoi(argv[1]) : 500;
    std::string why;
    std::string path = "/tmp/wiretest-bench-" + std::to_string(getpid()) + ".db";
    {
        auto sqlite = station::db::open_sqlite(path, why);
        if (sqlite)
            measure("sqlite", *sqlite, count);
        else
            printf("sqlite unavailable: %s\n", why.c_str());
    }
    for (const char *suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(path + suffix);

    postgres::Server server;
    station::db::Url url;
    std::unique_ptr<station::db::Database> pg;
    if (server.start(why) && station::db::parse_url(server.url(), url, why) && (pg = station::db::open(url, why)))
        measure("postgresql", *pg, count);
    else
        printf("postgresql unavailable: %s\n", why.c_str());
    return 0;
}
