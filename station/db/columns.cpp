// How each column of boards is taken from a board's record, and the SELECT
// list that reads every version of the table alike.
#include "columns.h"

#include <nlohmann/json.hpp>

namespace station::db {

Value field_text(const nlohmann::json &object, const char *key)
{
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return std::nullopt;
    return it->is_string() ? it->get<std::string>() : it->dump();
}

Value record_field(const nlohmann::json &object, const nlohmann::json &, const char *column)
{
    return field_text(object, column);
}

Value session_field(const nlohmann::json &, const nlohmann::json &owner, const char *column)
{
    return field_text(owner, column);
}

// 1 where the record says so, else NULL: the report reads any other value as "no".
Value serial_shared_flag(const nlohmann::json &record, const nlohmann::json &, const char *column)
{
    auto shared = record.find(column);
    return shared != record.end() && *shared == true ? Value("1") : std::nullopt;
}

Value earlier_record_id(const nlohmann::json &record, const nlohmann::json &, const char *column)
{
    auto earlier = record.find(column);
    return earlier != record.end() && earlier->is_object() ? field_text(*earlier, "record_id") : std::nullopt;
}

// A faulty pin's class; a record written before pins carried one names the
// fault by the pin's status.
Value pin_fault_class(const nlohmann::json &pin, const nlohmann::json &, const char *column)
{
    if (pin.contains(column))
        return field_text(pin, column);
    Value status = field_text(pin, "status");
    bool fault = status && *status != "ok" && *status != "untested";
    return fault ? status : std::nullopt;
}

// "1,3": the pins the fault joins this one to (the diagnosis's partners in
// an older record).
Value pin_partners(const nlohmann::json &pin, const nlohmann::json &, const char *)
{
    auto it = pin.find("partner");
    if (it == pin.end() || !it->is_array())
        it = pin.find("with");
    if (it == pin.end() || !it->is_array() || it->empty())
        return std::nullopt;
    std::string list;
    for (const auto &p : *it)
        list += (list.empty() ? "" : ",") + p.dump();
    return list;
}

Value pin_candidates(const nlohmann::json &pin, const nlohmann::json &, const char *column)
{
    auto it = pin.find(column);
    if (it == pin.end() || !it->is_array() || it->empty())
        return std::nullopt;
    std::string list;
    for (const auto &c : *it)
        list += (list.empty() ? "" : " | ") + (c.is_string() ? c.get<std::string>() : c.dump());
    return list;
}

std::string quoted(const char *name) { return std::string("\"") + name + "\""; }

std::string board_select_list(int version, const std::string &alias)
{
    std::string list;
    for (const Column &c : board_columns) {
        std::string type(c.type);
        list += list.empty() ? "" : ", ";
        // A NULL of the column's own type: PostgreSQL compares and
        // coalesces it as the column.
        list += (c.since <= version ? alias + "." + quoted(c.name)
                                    : "CAST(NULL AS " + type.substr(0, type.find(' ')) + ")") +
                " AS " + quoted(c.name);
    }
    return list;
}

} // namespace station::db
