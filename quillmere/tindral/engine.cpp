#include "quillmere/tindral/engine.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"

#include <boost/json/monotonic_resource.hpp>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <cstddef>
#include <exception>
#include <memory>
#include <string>

namespace quillmere::tindral {
namespace {

std::string str(std::string_view s) { return std::string(s); }

// --- logger ---------------------------------------------------------------------------

std::shared_ptr<spdlog::logger> make_logger() {
    const std::string name(kLoggerName);
    if (auto existing = spdlog::get(name)) return existing;
    auto logger = std::make_shared<spdlog::logger>(name, std::make_shared<spdlog::sinks::stderr_sink_mt>());
    try {
        spdlog::register_logger(logger);
    } catch (const spdlog::spdlog_ex&) {
        // Registered by someone else in the meantime: use theirs.
        if (auto existing = spdlog::get(name)) return existing;
    }
    return logger;
}

// Created once, when the library is loaded.
const std::shared_ptr<spdlog::logger> g_logger = make_logger();

void log_failure(std::string_view message) noexcept {
    try {
        auto logger = spdlog::get(std::string(kLoggerName));
        if (!logger) logger = g_logger;
        logger->error("Error in apply_rules: {}", message);
    } catch (...) {
        // Logging must never turn a logged failure into a thrown one.
    }
}

std::string failure_message(const std::exception& e) {
    if (const auto* k = dynamic_cast<const KeyError*>(&e)) return "missing key '" + k->key() + "'";
    return e.what();
}

// --- lookup ---------------------------------------------------------------------------

// Walks one dotted path without splitting it into strings.
const json::value* walk(const json::object& root, std::string_view path) {
    const json::object* obj = &root;
    for (;;) {
        auto dot = path.find('.');
        auto it = obj->find(path.substr(0, dot));
        if (it == obj->end()) return nullptr;
        if (dot == std::string_view::npos) return &it->value();
        obj = it->value().if_object();
        if (!obj) return nullptr;
        path.remove_prefix(dot + 1);
    }
}

// --- one rule -------------------------------------------------------------------------

// The value a rule takes before its handler: a reference into the request or to the
// rule's default, or nullptr when the rule writes nothing.
const json::value* rule_value(std::string_view target, const json::value& keys, const json::value& default_value,
                              bool skip_if_missing, const json::object& request) {
    if (is_empty(keys)) return skip_if_missing ? nullptr : &default_value;
    if (!keys.is_array())
        throw TypeError("rule '" + str(target) + "': keys must be a list of texts, not " + str(kind_name(keys)));
    const json::value& found = get_value_from_keys(keys, request);
    if (!found.is_null()) return &found;
    return skip_if_missing ? nullptr : &default_value;
}

// Sets the member at the dotted `target` path of `record`, creating intermediate objects.
void write_at(json::object& record, std::string_view target, json::value&& value) {
    json::object* obj = &record;
    std::string_view rest = target;
    for (auto dot = rest.find('.'); dot != std::string_view::npos; dot = rest.find('.')) {
        std::string_view part = rest.substr(0, dot);
        auto it = obj->find(part);
        if (it == obj->end()) {
            obj = &obj->emplace(part, json::object(obj->storage())).first->value().get_object();
        } else if (json::object* next = it->value().if_object()) {
            obj = next;
        } else {
            throw TypeError("cannot write '" + str(target) + "': member '" +
                            str(target.substr(0, static_cast<std::size_t>(part.data() + part.size() - target.data()))) +
                            "' holds a " + str(kind_name(it->value())) + ", not an object");
        }
        rest.remove_prefix(dot + 1);
    }
    (*obj)[rest] = std::move(value);
}

// Runs one rule whose handler, if any, is `handler` (nullptr for none).
template <class CallHandler>
void run_rule(json::object& record, std::string_view target, const json::value& keys, const json::value& default_value,
              bool skip_if_missing, const json::object& request, const json::value& request_value, bool has_handler,
              CallHandler&& call) {
    const json::value* value = rule_value(target, keys, default_value, skip_if_missing, request);
    if (!value) return;
    if (has_handler)
        write_at(record, target, call(*value, &request_value));
    else
        write_at(record, target, json::value(*value, record.storage()));
}

// --- after the rules ------------------------------------------------------------------

json::object* member_object(json::object& parent, std::string_view name, std::string_view path) {
    auto it = parent.find(name);
    if (it == parent.end()) return nullptr;
    if (json::object* o = it->value().if_object()) return o;
    throw TypeError(str(path) + " must be an object, not " + str(kind_name(it->value())));
}

// The author fix-up and the RawData text; returns the record in the default storage, with
// RawData replaced by its text in its place (or appended as "{}" when no rule wrote it).
json::object finish_record(json::object& draft) {
    json::object* raw = member_object(draft, "RawData", "RawData");
    if (raw) {
        if (json::object* user = member_object(*raw, "UserInfo", "RawData.UserInfo")) {
            auto name = user->find("AuthorName");
            if (name != user->end() && name->value().is_string() && name->value().get_string() == "Anonymous")
                (*user)["AuthorSocialID"] = "0";
        }
    }
    std::string text;
    if (raw) {
        text.reserve(4096);
        write_json_text(text, *raw);
    } else {
        text = "{}";
    }
    json::object record;
    record.reserve(draft.size() + (raw ? 0 : 1));
    for (const auto& member : draft) {
        if (raw && member.key() == "RawData")
            record.emplace(member.key(), json::string(text));
        else
            record.emplace(member.key(), member.value());
    }
    if (!raw) record.emplace("RawData", json::string(text));
    return record;
}

const json::object& request_object(const json::value& request) {
    if (const json::object* o = request.if_object()) return *o;
    throw TypeError("apply_rules: request must be an object, not " + str(kind_name(request)));
}

template <class Body>
std::optional<json::object> guarded(Body&& body) {
    try {
        // The record is drafted in a monotonic arena (on the stack while it fits): no
        // per-member frees, no destruction walk; only the finished record is copied out.
        alignas(std::max_align_t) unsigned char arena[8192];
        json::monotonic_resource resource(arena, sizeof arena);
        json::object draft(&resource);
        body(draft);
        return finish_record(draft);
    } catch (const std::exception& e) {
        log_failure(failure_message(e));
    } catch (...) {
        log_failure("unknown error");
    }
    return std::nullopt;
}

}  // namespace

const json::value& get_value_from_keys(const json::value& keys, const json::object& request_data) {
    const json::array* paths = keys.if_array();
    if (!paths) throw TypeError("keys must be a list of texts, not " + str(kind_name(keys)));
    for (const json::value& path : *paths) {
        const json::string* p = path.if_string();
        if (!p) throw TypeError("a path in keys must be a text, not " + str(kind_name(path)));
        const json::value* found = walk(request_data, *p);
        if (found && !found->is_null()) return *found;
    }
    return null_value();
}

std::optional<json::object> apply_rules(const RuleTable& rules, const json::value& request) {
    const json::object& req = request_object(request);
    return guarded([&](json::object& record) {
        for (const auto& entry : rules) {
            const Rule& rule = entry.second;
            run_rule(record, entry.first, rule.keys, rule.default_value, rule.skip_if_missing, req, request,
                     static_cast<bool>(rule.handler_function),
                     [&](const json::value& v, const json::value* data) { return rule.handler_function(v, data); });
        }
    });
}

std::optional<json::object> apply_rules(const json::value& rules, const json::value& request,
                                        const HandlerMap& handlers) {
    const json::object* table = rules.if_object();
    if (!table) throw TypeError("apply_rules: rules must be an object, not " + str(kind_name(rules)));
    const json::object& req = request_object(request);
    return guarded([&](json::object& record) {
        for (const auto& member : *table) {
            std::string_view target = member.key();
            const json::object* rule = member.value().if_object();
            if (!rule)
                throw TypeError("rule '" + str(target) + "' must be an object, not " + str(kind_name(member.value())));
            const json::value& keys = get_or(*rule, "keys", null_value());
            const json::value& default_value = get_or(*rule, "default_value", null_value());
            const json::value& handler = get_or(*rule, "handler_function", null_value());
            (void)is_set(get_or(*rule, "mandatory", null_value()));  // read, without effect
            bool skip = is_set(get_or(*rule, "skip_if_missing", null_value()));
            run_rule(record, target, keys, default_value, skip, req, request, is_set(handler),
                     [&](const json::value& v, const json::value* data) {
                         const Handler* fn = nullptr;
                         if (const json::string* name = handler.if_string()) {
                             auto it = handlers.find(std::string_view(*name));
                             if (it != handlers.end() && it->second) fn = &it->second;
                         }
                         if (!fn)
                             throw TypeError("rule '" + str(target) + "': handler_function " + to_json_text(handler) +
                                             " is not callable");
                         return (*fn)(v, data);
                     });
        }
    });
}

}  // namespace quillmere::tindral
