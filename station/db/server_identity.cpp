// Which server a PostgreSQL URL reaches: the outbox keeps each record for
// a server by this, so that two spellings of one server send the same records.
#include "client_libraries.h"
#include "database.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace station::db {
namespace {

using Options = std::map<std::string, std::string>;

// The options given (non-empty values only), from a parsed or a default list.
Options options_of(const Libpq &pq, PQconninfoOption *list)
{
    Options options;
    for (PQconninfoOption *o = list; o && o->keyword; o++)
        if (o->val && *o->val)
            options[o->keyword] = o->val;
    pq.conninfo_free(list);
    return options;
}

// One host of a list: a name in lower case, the loopback by one name; a
// socket folder (or an abstract socket, "@...") as written.
std::string same_host(std::string host)
{
    if (host.empty() || host[0] == '/' || host[0] == '@')
        return host;
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (host == "127.0.0.1" || host == "::1" || host == "[::1]")
        return "localhost";
    return host;
}

std::string each_host(const std::string &hosts)
{
    std::string same;
    for (size_t start = 0;;) {
        size_t comma = hosts.find(',', start);
        same += same_host(hosts.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            return same;
        same += ',';
        start = comma + 1;
    }
}

// A value in a connection string: quoted where it holds a space or a quote.
std::string conninfo_value(const std::string &value)
{
    if (!value.empty() && value.find_first_of(" '\\") == std::string::npos)
        return value;
    std::string quoted = "'";
    for (char c : value)
        quoted += c == '\'' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return quoted + "'";
}

} // namespace

bool server_identity(const Url &url, std::string &identity, std::string &why)
{
    const Libpq *pq = libpq(why);
    if (!pq)
        return false;
    PQconninfoOption *parsed = parse_conninfo(*pq, url, why);
    if (!parsed)
        return false;
    Options given = options_of(*pq, parsed), defaults = options_of(*pq, pq->conndefaults());
    auto value = [&](const char *key) {
        auto it = given.find(key);
        if (it != given.end())
            return it->second;
        it = defaults.find(key);
        return it != defaults.end() ? it->second : std::string();
    };
    // libpq connects to hostaddr where given, and without a host to its
    // default socket; without a database, to the user's own.
    std::string host = value("hostaddr").empty() ? value("host") : value("hostaddr");
    std::string port = value("port").empty() ? "5432" : value("port");
    std::string dbname = value("dbname").empty() ? value("user") : value("dbname");
    identity = (host.empty() ? "" : "host=" + conninfo_value(each_host(host)) + " ") + "port=" +
               conninfo_value(port) + " dbname=" + conninfo_value(dbname);
    return true;
}

} // namespace station::db
