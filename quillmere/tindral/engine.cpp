#include "quillmere/tindral/engine.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"

#include "quillmere/common/internal/named_logger.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <vector>

// How a table is applied. A table is first compiled into a plan:
//
//  - the record layout: a tree of nodes, one per distinct target prefix ("RawData",
//    "RawData.UserInfo", "RawData.UserInfo.AuthorName"...), so that writing a member is
//    indexing a node, not searching an object;
//  - the distinct key paths of the table, split into parts; the members of the request that
//    they start with are found in one pass over the request;
//  - one step per rule that can write, with its default and handler resolved; a rule
//    without keys that is skipped when missing can never write and has no step.
//
// Applying the plan to a request fills one slot per node: unwritten, built (an object
// whose members are the node's written children, in the order they were first written) or
// a value (a pointer into the request or the table, or a value a handler returned). A slot
// whose value is an object and that a later rule writes into is copied and written into as
// an object, as the table would. The record, the RawData text and the compact JSON line
// are then written from the slots.

namespace quillmere::tindral {
namespace {

std::string str(std::string_view s) { return std::string(s); }

// --- logger ---------------------------------------------------------------------------

// Created once, when the library is loaded.
const std::shared_ptr<spdlog::logger> g_logger = named_logger(kLoggerName);

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

// Calls `f` with every "."-separated part of `text`, in order (an empty part included).
template <class F>
void for_each_part(std::string_view text, F&& f) {
    for (std::size_t start = 0;;) {
        const std::size_t dot = text.find('.', start);
        f(text.substr(start, dot == std::string_view::npos ? dot : dot - start));
        if (dot == std::string_view::npos) return;
        start = dot + 1;
    }
}

// The text of `target` up to the end of its part number `parts` (1-based).
std::string_view target_prefix(std::string_view target, std::size_t parts) {
    std::size_t end = 0;
    for (std::size_t i = 0; i < parts; ++i) {
        std::size_t dot = target.find('.', i == 0 ? 0 : end + 1);
        end = dot == std::string_view::npos ? target.size() : dot;
    }
    return target.substr(0, end);
}

[[noreturn]] void cannot_write(std::string_view target, std::string_view member, const json::value& holder) {
    throw TypeError("cannot write '" + str(target) + "': member '" + str(member) + "' holds a " +
                    str(kind_name(holder)) + ", not an object");
}

// Sets the member at the dotted path `rest` of `obj`, creating intermediate objects; `rest`
// is the tail of `target` after the parts already walked (`walked` of them).
void write_into(json::object& obj, std::string_view target, std::string_view rest, std::size_t walked,
                json::value&& value) {
    json::object* o = &obj;
    for (auto dot = rest.find('.'); dot != std::string_view::npos; dot = rest.find('.')) {
        std::string_view part = rest.substr(0, dot);
        ++walked;
        auto it = o->find(part);
        if (it == o->end())
            o = &o->emplace(part, json::object(o->storage())).first->value().get_object();
        else if (json::object* next = it->value().if_object())
            o = next;
        else
            cannot_write(target, target_prefix(target, walked), it->value());
        rest.remove_prefix(dot + 1);
    }
    (*o)[rest] = std::move(value);
}

const json::object& request_object(const json::value& request) {
    if (const json::object* o = request.if_object()) return *o;
    throw TypeError("apply_rules: request must be an object, not " + str(kind_name(request)));
}

}  // namespace

// --- the plan -------------------------------------------------------------------------

namespace detail {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// A hash of a member name, eight bytes at a time.
inline std::uint64_t name_hash(std::string_view key) noexcept {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ key.size();
    const char* p = key.data();
    std::size_t n = key.size();
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDULL;
        h ^= h >> 32;
    }
    if (n > 0) {
        std::uint64_t w = 0;
        std::memcpy(&w, p, n);
        h = (h ^ w) * 0xFF51AFD7ED558CCDULL;
        h ^= h >> 32;
    }
    return h ^ (h >> 29);
}

struct Node {
    std::string_view key;
    std::uint32_t parent = kNone;
    std::uint32_t depth = 0;  // the record is at depth 0, its members at 1
    // `"key": ` in the record text form (as it is and as it stands inside a compact string)
    // and `"key":` in the compact form; empty when the plan is used once (written on the
    // fly then).
    std::string record_key;
    std::string record_key_in_string;
    std::string compact_key;
};

// A key path of the table, split at every ".".
struct KeyPath {
    std::uint32_t first_part = 0;
    std::uint32_t parts = 0;
    std::uint32_t name = 0;  // the path's first part among Plan::names
};

enum class Keys : std::uint8_t { none, not_a_list, paths };

struct Step {
    std::string_view target;
    std::uint32_t first_node = 0;  // the nodes of the target's parts, outermost first
    std::uint32_t nodes = 0;
    Keys keys = Keys::none;
    std::uint32_t first_key = 0;  // into Plan::step_keys
    std::uint32_t key_count = 0;
    bool bad_path = false;  // after the key_count paths comes one that is not a text
    bool skip_if_missing = false;
    bool has_handler = false;
    bool rule_not_object = false;
    const json::value* default_value = nullptr;
    const Handler* handler = nullptr;  // null with has_handler: not callable
    std::string message;               // the failure this step raises, where it can raise one
};

struct Plan {
    // What the steps point into, when the plan owns it.
    RuleTable table;
    json::value json_table;
    HandlerMap handlers;
    // Copies of the texts of a typed table, for the views below and to tell whether a table
    // the plan does not own is still the one compiled.
    struct Source {
        std::string target;
        json::value keys;
        bool skip_if_missing = false;
        bool has_handler = false;
    };
    std::vector<Source> sources;
    const void* source_data = nullptr;

    std::size_t rule_count = 0;
    std::vector<Node> nodes;  // nodes[0] is the record
    std::vector<std::uint32_t> step_nodes;
    std::vector<std::string_view> parts;
    std::vector<KeyPath> paths;
    std::vector<std::string_view> path_texts;
    // The distinct first parts of the key paths: the members of the request the table
    // reads, found in one pass over the request. `name_slots` is an open-addressing table
    // of name index + 1 (0: empty) by name_hash.
    std::vector<std::string_view> names;
    std::vector<std::uint32_t> name_slots;
    std::vector<std::uint32_t> step_keys;
    std::vector<Step> steps;
    // RawData and the members the author fix-up reads and writes.
    std::uint32_t raw = kNone, user = kNone, author_name = kNone, author_id = kNone;

    // Empties a plan compiled for one call, keeping the memory of its lists.
    void clear_compiled() {
        rule_count = 0;
        nodes.clear();
        step_nodes.clear();
        parts.clear();
        paths.clear();
        path_texts.clear();
        names.clear();
        name_slots.clear();
        step_keys.clear();
        steps.clear();
    }
};

}  // namespace detail

namespace {

using detail::KeyPath;
using detail::Keys;
using detail::kNone;
using detail::Node;
using detail::Plan;
using detail::Step;

// --- compiling ------------------------------------------------------------------------

// An open-addressing index of entries numbered from 0, by a hash the caller gives and an
// equality test on entry numbers; kept per thread and reused by the compiler.
class FlatIndex {
public:
    void clear() {
        slots_.assign(64, Slot{});
        count_ = 0;
    }

    // The number of the entry for which `equal(number)` holds, or `next` after recording
    // it as a new entry (the caller then adds entry `next`); `added` says which.
    template <class Equal>
    std::uint32_t find_or_add(std::uint64_t hash, std::uint32_t next, bool& added, Equal&& equal) {
        if (2 * (count_ + 1) > slots_.size()) grow();
        const std::size_t mask = slots_.size() - 1;
        const auto h = static_cast<std::uint32_t>(hash);
        for (std::size_t at = h & mask;; at = (at + 1) & mask) {
            Slot& slot = slots_[at];
            if (slot.entry == 0) {
                slot = Slot{h, next + 1};
                ++count_;
                added = true;
                return next;
            }
            if (slot.hash == h && equal(slot.entry - 1)) {
                added = false;
                return slot.entry - 1;
            }
        }
    }

private:
    struct Slot {
        std::uint32_t hash = 0;
        std::uint32_t entry = 0;  // entry number + 1; 0: empty
    };
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.size() * 2, Slot{});
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& s : old) {
            if (s.entry == 0) continue;
            std::size_t at = s.hash & mask;
            while (slots_[at].entry != 0) at = (at + 1) & mask;
            slots_[at] = s;
        }
    }
    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

class Compiler {
public:
    Compiler(Plan& plan, bool lasting)
        : plan_(plan),
          lasting_(lasting),
          children_(indexes().children),
          paths_(indexes().paths),
          names_(indexes().names) {
        plan_.nodes.push_back(Node{});
        children_.clear();
        paths_.clear();
        names_.clear();
    }

    // One rule; `default_value` and `handler` point into what the plan reads them from.
    // `handler` is null with `has_handler` when the rule names a handler that cannot be
    // called, `handler_message` saying so.
    void add(std::string_view target, const json::value& keys, const json::value* default_value, bool has_handler,
             const Handler* handler, std::string handler_message, bool skip_if_missing) {
        ++plan_.rule_count;
        if (done_) return;
        // Without keys and skipped when missing: the rule never writes, never fails.
        if (skip_if_missing && is_empty(keys)) return;
        Step& s = new_step(target);
        s.default_value = default_value;
        s.skip_if_missing = skip_if_missing;
        s.has_handler = has_handler;
        s.handler = handler;
        if (has_handler && !handler) s.message = std::move(handler_message);
        if (is_empty(keys)) {
            s.keys = Keys::none;
        } else if (const json::array* list = keys.if_array()) {
            s.keys = Keys::paths;
            s.first_key = static_cast<std::uint32_t>(plan_.step_keys.size());
            for (const json::value& path : *list) {
                const json::string* text = path.if_string();
                if (!text) {
                    s.bad_path = true;
                    s.message = "a path in keys must be a text, not " + str(kind_name(path));
                    break;
                }
                plan_.step_keys.push_back(key_path(*text));
                ++s.key_count;
            }
        } else {
            s.keys = Keys::not_a_list;
            s.message = "rule '" + str(target) + "': keys must be a list of texts, not " + str(kind_name(keys));
            done_ = true;  // every application fails here: later rules are never reached
        }
    }

    // A rule record that is not an object: every application fails at it.
    void add_not_object(std::string_view target, const json::value& record) {
        ++plan_.rule_count;
        if (done_) return;
        Step& s = new_step(target);
        s.rule_not_object = true;
        s.message = "rule '" + str(target) + "' must be an object, not " + str(kind_name(record));
        done_ = true;
    }

    void finish() {
        std::size_t size = 8;
        while (size < 2 * plan_.names.size()) size *= 2;
        plan_.name_slots.assign(size, 0);
        for (std::uint32_t i = 0; i < plan_.names.size(); ++i) {
            std::size_t at = detail::name_hash(plan_.names[i]) & (size - 1);
            while (plan_.name_slots[at] != 0) at = (at + 1) & (size - 1);
            plan_.name_slots[at] = i + 1;
        }
        plan_.raw = child(0, "RawData");
        plan_.user = child(plan_.raw, "UserInfo");
        plan_.author_name = child(plan_.user, "AuthorName");
        plan_.author_id = child(plan_.user, "AuthorSocialID");
        if (lasting_) {  // applied many times: the key texts are written once
            for (std::size_t i = 1; i < plan_.nodes.size(); ++i) {
                Node& n = plan_.nodes[i];
                write_string_text(n.record_key, n.key);
                n.record_key += ": ";
                write_string_text_in_string(n.record_key_in_string, n.key);
                n.record_key_in_string += ": ";
                write_compact_string(n.compact_key, n.key);
                n.compact_key += ':';
            }
        }
    }

private:
    Step& new_step(std::string_view target) {
        Step& s = plan_.steps.emplace_back();
        s.target = target;
        s.first_node = static_cast<std::uint32_t>(plan_.step_nodes.size());
        std::uint32_t node = 0;
        for_each_part(target, [&](std::string_view part) {
            node = child(node, part);
            plan_.step_nodes.push_back(node);
            ++s.nodes;
        });
        return s;
    }

    // The child of `parent` named `key`, made when missing.
    std::uint32_t child(std::uint32_t parent, std::string_view key) {
        bool added = false;
        const std::uint32_t n = children_.find_or_add(
            detail::name_hash(key) ^ (parent * 0x9E3779B97F4A7C15ULL), static_cast<std::uint32_t>(plan_.nodes.size()),
            added, [&](std::uint32_t i) { return plan_.nodes[i].parent == parent && plan_.nodes[i].key == key; });
        if (added) {
            Node& node = plan_.nodes.emplace_back();
            node.key = key;
            node.parent = parent;
            node.depth = plan_.nodes[parent].depth + 1;
        }
        return n;
    }

    std::uint32_t key_path(std::string_view text) {
        bool added = false;
        const std::uint32_t id =
            paths_.find_or_add(detail::name_hash(text), static_cast<std::uint32_t>(plan_.paths.size()), added,
                               [&](std::uint32_t i) { return plan_.path_texts[i] == text; });
        if (added) {
            KeyPath p;
            p.first_part = static_cast<std::uint32_t>(plan_.parts.size());
            for_each_part(text, [&](std::string_view part) {
                plan_.parts.push_back(part);
                ++p.parts;
            });
            const std::string_view first = plan_.parts[p.first_part];
            bool new_name = false;
            p.name = names_.find_or_add(detail::name_hash(first), static_cast<std::uint32_t>(plan_.names.size()),
                                        new_name, [&](std::uint32_t i) { return plan_.names[i] == first; });
            if (new_name) plan_.names.push_back(first);
            plan_.paths.push_back(p);
            plan_.path_texts.push_back(text);
        }
        return id;
    }

    // Kept per thread: compiling calls nothing that could compile again.
    struct Indexes {
        FlatIndex children, paths, names;
    };
    static Indexes& indexes() {
        thread_local Indexes i;
        return i;
    }

    Plan& plan_;
    bool lasting_;
    bool done_ = false;
    FlatIndex& children_;
    FlatIndex& paths_;
    FlatIndex& names_;
};

// A typed table: targets and keys from the plan's copies of them (which also tell whether
// the table is still the one compiled), defaults and handlers pointed to in `table`.
void compile_table(Plan& plan, const RuleTable& table) {
    plan.sources.clear();
    plan.sources.reserve(table.size());
    for (const auto& [target, rule] : table)
        plan.sources.push_back({target, rule.keys, rule.skip_if_missing, static_cast<bool>(rule.handler_function)});
    plan.source_data = table.data();
    Compiler c(plan, true);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const Plan::Source& s = plan.sources[i];
        const Rule& rule = table[i].second;
        c.add(s.target, s.keys, &rule.default_value, s.has_handler, s.has_handler ? &rule.handler_function : nullptr,
              {}, s.skip_if_missing);
    }
    c.finish();
}

// Keys compared as the plan reads them: a list of texts element by element, anything else
// as a value.
bool same_keys(const json::value& a, const json::value& b) noexcept {
    const json::array* x = a.if_array();
    const json::array* y = b.if_array();
    if (!x || !y) return a == b;
    if (x->size() != y->size()) return false;
    for (std::size_t i = 0; i < x->size(); ++i) {
        const json::string* p = (*x)[i].if_string();
        const json::string* q = (*y)[i].if_string();
        if (p && q ? std::string_view(*p) != std::string_view(*q) : (*x)[i] != (*y)[i]) return false;
    }
    return true;
}

// Whether `table` is still the table `plan` was compiled from.
bool still_matches(const Plan& plan, const RuleTable& table) noexcept {
    if (table.data() != plan.source_data || table.size() != plan.sources.size()) return false;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const Plan::Source& s = plan.sources[i];
        const auto& [target, rule] = table[i];
        if (s.skip_if_missing != rule.skip_if_missing || s.has_handler != static_cast<bool>(rule.handler_function) ||
            s.target != target || !same_keys(s.keys, rule.keys))
            return false;
    }
    return true;
}

void compile_json(Plan& plan, const json::object& table, const HandlerMap& handlers, bool lasting) {
    Compiler c(plan, lasting);
    for (const auto& member : table) {
        std::string_view target = member.key();
        const json::object* rule = member.value().if_object();
        if (!rule) {
            c.add_not_object(target, member.value());
            continue;
        }
        // The members the engine reads ("mandatory" changes nothing, others are the host's).
        const json::value* keys = &null_value();
        const json::value* default_value = keys;
        const json::value* handler = keys;
        const json::value* skip_value = keys;
        for (const auto& m : *rule) {
            const std::string_view k = m.key();
            if (k == "keys")
                keys = &m.value();
            else if (k == "default_value")
                default_value = &m.value();
            else if (k == "handler_function")
                handler = &m.value();
            else if (k == "skip_if_missing")
                skip_value = &m.value();
        }
        const bool skip = is_set(*skip_value);
        const Handler* fn = nullptr;
        std::string message;
        const bool has_handler = is_set(*handler);
        if (has_handler) {
            if (const json::string* name = handler->if_string()) {
                auto it = handlers.find(std::string_view(*name));
                if (it != handlers.end() && it->second) fn = &it->second;
            }
            if (!fn)
                message = "rule '" + str(target) + "': handler_function " + to_json_text(*handler) + " is not callable";
        }
        c.add(target, *keys, default_value, has_handler, fn, std::move(message), skip);
    }
    c.finish();
}

// --- applying -------------------------------------------------------------------------

enum class State : std::uint8_t { unwritten, built, value };

struct Slot {
    const json::value* value = nullptr;
    std::uint32_t first = kNone, last = kNone;  // written children, in first-write order
    std::uint32_t next = kNone;                 // next written sibling
    State state = State::unwritten;
    bool owned = false;  // `value` is one of the run's own values, free to change
};

struct Resolved {
    const json::value* value = nullptr;
    bool done = false;
};

// What one application needs besides the plan; kept per thread and reused.
struct Scratch {
    std::vector<Slot> slots;
    std::vector<const json::value*> members;  // by Plan::names
    std::vector<Resolved> resolved;
    std::deque<json::value> owned;  // handler results and copies; stable addresses
    std::string text;               // the RawData text
};

// One Scratch per application in progress on this thread (a handler may apply a table).
class ScratchLease {
public:
    ScratchLease() {
        auto& pool = free_list();
        if (pool.empty()) {
            scratch_ = std::make_unique<Scratch>();
        } else {
            scratch_ = std::move(pool.back());
            pool.pop_back();
        }
    }
    ~ScratchLease() {
        scratch_->owned.clear();
        free_list().push_back(std::move(scratch_));
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    Scratch& operator*() const noexcept { return *scratch_; }

private:
    static std::vector<std::unique_ptr<Scratch>>& free_list() {
        thread_local std::vector<std::unique_ptr<Scratch>> pool;
        return pool;
    }
    std::unique_ptr<Scratch> scratch_;
};

class Run {
public:
    Run(const Plan& plan, Scratch& scratch, const json::value& request_value, const json::object& request)
        : plan_(plan), s_(scratch), request_value_(request_value), request_(request) {
        s_.slots.assign(plan_.nodes.size(), Slot{});
        s_.resolved.assign(plan_.paths.size(), Resolved{});
        s_.owned.clear();
        slots_ = s_.slots.data();
        nodes_ = plan_.nodes.data();
        find_members();
    }

    // The rules and the author fix-up.
    void apply() {
        for (const Step& step : plan_.steps) run(step);
        fix_up_author();
    }

    json::object record(const json::storage_ptr& sp) {
        s_.text.clear();
        write_raw_text<false>(s_.text);
        json::object record(sp);
        record.reserve(count_children(0) + (raw_written() ? 0 : 1));
        for (std::uint32_t c = slot(0).first; c != kNone; c = slot(c).next) {
            if (c == plan_.raw)
                record.emplace(plan_.nodes[c].key, json::string(s_.text, sp));
            else
                record.emplace(plan_.nodes[c].key, member_value(c, sp));
        }
        if (!raw_written()) record.emplace("RawData", json::string(s_.text, sp));
        return record;
    }

    void append_compact(std::string& out) {
        out.push_back('{');
        bool first = true;
        for (std::uint32_t c = slot(0).first; c != kNone; c = slot(c).next) {
            if (!first) out.push_back(',');
            first = false;
            compact_key(out, c);
            if (c == plan_.raw) {
                out.push_back('"');
                write_raw_text<true>(out);
                out.push_back('"');
            } else {
                compact_member(out, c);
            }
        }
        if (!raw_written()) out += first ? "\"RawData\":\"{}\"" : ",\"RawData\":\"{}\"";
        out.push_back('}');
    }

private:
    Slot& slot(std::uint32_t n) { return slots_[n]; }
    bool raw_written() { return slot(plan_.raw).state != State::unwritten; }

    // The request's members that the table names, in one pass over the request (or, for a
    // request much larger than the table reads, one look-up per name).
    void find_members() {
        const std::size_t count = plan_.names.size();
        s_.members.assign(count, nullptr);
        if (request_.size() > 4 * count + 16) {
            for (std::size_t i = 0; i < count; ++i) {
                auto it = request_.find(plan_.names[i]);
                if (it != request_.end()) s_.members[i] = &it->value();
            }
            return;
        }
        const std::size_t mask = plan_.name_slots.size() - 1;
        for (const auto& member : request_) {
            std::string_view key = member.key();
            for (std::size_t at = detail::name_hash(key) & mask;; at = (at + 1) & mask) {
                const std::uint32_t slot = plan_.name_slots[at];
                if (slot == 0) break;
                if (plan_.names[slot - 1] == key) {
                    s_.members[slot - 1] = &member.value();
                    break;
                }
            }
        }
    }

    const json::value* resolve(std::uint32_t path_id) {
        const KeyPath& p = plan_.paths[path_id];
        const json::value* v = s_.members[p.name];
        if (p.parts == 1 || !v) return v;
        Resolved& r = s_.resolved[path_id];
        if (r.done) return r.value;
        r.done = true;
        for (std::uint32_t i = 1; i < p.parts; ++i) {
            const json::object* obj = v->if_object();
            if (!obj) return nullptr;
            auto it = obj->find(plan_.parts[p.first_part + i]);
            if (it == obj->end()) return nullptr;
            v = &it->value();
        }
        return r.value = v;
    }

    void run(const Step& step) {
        if (step.rule_not_object) throw TypeError(step.message);
        const json::value* value = nullptr;
        switch (step.keys) {
            case Keys::none:
                break;
            case Keys::not_a_list:
                throw TypeError(step.message);
            case Keys::paths:
                for (std::uint32_t k = 0; k < step.key_count; ++k) {
                    const json::value* found = resolve(plan_.step_keys[step.first_key + k]);
                    if (found && !found->is_null()) {
                        value = found;
                        break;
                    }
                }
                if (!value && step.bad_path) throw TypeError(step.message);
                break;
        }
        if (!value) {
            if (step.skip_if_missing) return;
            value = step.default_value;
        }
        if (step.has_handler) {
            if (!step.handler) throw TypeError(step.message);
            json::value& result = s_.owned.emplace_back((*step.handler)(*value, &request_value_));
            write(step, &result, true);
        } else {
            write(step, value, false);
        }
    }

    void append_child(std::uint32_t parent, std::uint32_t child) {
        Slot& p = slot(parent);
        if (p.first == kNone)
            p.first = child;
        else
            slot(p.last).next = child;
        p.last = child;
        slot(child).next = kNone;
    }

    // The value at node `n` as an object the run may change (copied first if it is not the
    // run's own), or null when it is not an object.
    json::object* own_object(std::uint32_t n) {
        Slot& sl = slot(n);
        if (!sl.value->is_object()) return nullptr;
        if (!sl.owned) {
            sl.value = &s_.owned.emplace_back(*sl.value);
            sl.owned = true;
        }
        return &const_cast<json::value*>(sl.value)->get_object();
    }

    void write(const Step& step, const json::value* value, bool owned) {
        const std::uint32_t* chain = plan_.step_nodes.data() + step.first_node;
        for (std::uint32_t i = 0; i + 1 < step.nodes; ++i) {
            const std::uint32_t n = chain[i];
            Slot& sl = slot(n);
            switch (sl.state) {
                case State::unwritten:
                    sl.state = State::built;
                    append_child(nodes_[n].parent, n);
                    break;
                case State::built:
                    break;
                case State::value: {
                    // A value that a rule wrote here: written into when it is an object.
                    json::object* obj = own_object(n);
                    if (!obj) cannot_write(step.target, target_prefix(step.target, i + 1), *sl.value);
                    std::string_view rest = step.target.substr(target_prefix(step.target, i + 1).size() + 1);
                    json::value v = owned ? std::move(*const_cast<json::value*>(value)) : json::value(*value);
                    write_into(*obj, step.target, rest, i + 1, std::move(v));
                    return;
                }
            }
        }
        const std::uint32_t leaf = chain[step.nodes - 1];
        Slot& sl = slot(leaf);
        if (sl.state == State::unwritten) append_child(nodes_[leaf].parent, leaf);
        sl.state = State::value;
        sl.value = value;
        sl.owned = owned;
    }

    // A RawData.UserInfo whose AuthorName is exactly "Anonymous" gets AuthorSocialID "0".
    void fix_up_author() {
        Slot& raw = slot(plan_.raw);
        if (raw.state == State::unwritten) return;
        if (raw.state == State::value) {
            if (!raw.value->is_object())
                throw TypeError("RawData must be an object, not " + str(kind_name(*raw.value)));
            auto user = raw.value->get_object().find("UserInfo");
            if (user == raw.value->get_object().end()) return;
            if (!user->value().is_object())
                throw TypeError("RawData.UserInfo must be an object, not " + str(kind_name(user->value())));
            if (anonymous(user->value().get_object()))
                own_object(plan_.raw)->at("UserInfo").get_object()["AuthorSocialID"] = "0";
            return;
        }
        Slot& user = slot(plan_.user);
        if (user.state == State::unwritten) return;
        if (user.state == State::value) {
            if (!user.value->is_object())
                throw TypeError("RawData.UserInfo must be an object, not " + str(kind_name(*user.value)));
            if (anonymous(user.value->get_object())) (*own_object(plan_.user))["AuthorSocialID"] = "0";
            return;
        }
        const Slot& name = slot(plan_.author_name);
        if (name.state != State::value || !name.value->is_string() || name.value->get_string() != "Anonymous") return;
        Slot& id = slot(plan_.author_id);
        if (id.state == State::unwritten) append_child(plan_.user, plan_.author_id);
        id.state = State::value;
        id.value = &s_.owned.emplace_back("0");
        id.owned = true;
    }

    static bool anonymous(const json::object& user) {
        auto name = user.find("AuthorName");
        return name != user.end() && name->value().is_string() && name->value().get_string() == "Anonymous";
    }

    // --- writing -------------------------------------------------------------------------

    // The RawData text as it is, or as it stands inside a compact string.
    template <bool InString>
    void write_raw_text(std::string& out) {
        const Slot& raw = slot(plan_.raw);
        if (raw.state == State::unwritten)
            out += "{}";
        else if (raw.state == State::value)
            write_value_text<InString>(out, *raw.value, 0);
        else
            write_built_text<InString>(out, plan_.raw);
    }

    template <bool InString>
    static void write_value_text(std::string& out, const json::value& v, std::size_t depth) {
        if constexpr (InString)
            write_json_text_in_string(out, v, depth);
        else
            write_json_text(out, v, depth);
    }

    // A built node of RawData in the record text form; RawData itself is at depth 0.
    template <bool InString>
    void write_built_text(std::string& out, std::uint32_t n) {
        const std::size_t depth = nodes_[n].depth - 1;
        if (depth >= kMaxJsonDepth) throw std::runtime_error("value nests too deeply to serialise");
        out.push_back('{');
        bool first = true;
        for (std::uint32_t c = slot(n).first; c != kNone; c = slot(c).next) {
            if (!first) out.append(", ", 2);
            first = false;
            const Node& child = nodes_[c];
            const std::string& key = InString ? child.record_key_in_string : child.record_key;
            if (!key.empty()) {
                out += key;
            } else {
                if constexpr (InString)
                    write_string_text_in_string(out, child.key);
                else
                    write_string_text(out, child.key);
                out.append(": ", 2);
            }
            if (slot(c).state == State::built)
                write_built_text<InString>(out, c);
            else
                write_value_text<InString>(out, *slot(c).value, depth + 1);
        }
        out.push_back('}');
    }

    std::size_t count_children(std::uint32_t n) {
        std::size_t count = 0;
        for (std::uint32_t c = slot(n).first; c != kNone; c = slot(c).next) ++count;
        return count;
    }

    json::value member_value(std::uint32_t n, const json::storage_ptr& sp) {
        Slot& sl = slot(n);
        if (sl.state == State::value) {
            if (sl.owned) return json::value(std::move(*const_cast<json::value*>(sl.value)), sp);
            return json::value(*sl.value, sp);
        }
        json::object obj(sp);
        obj.reserve(count_children(n));
        for (std::uint32_t c = sl.first; c != kNone; c = slot(c).next)
            obj.emplace(plan_.nodes[c].key, member_value(c, sp));
        return obj;
    }

    void compact_key(std::string& out, std::uint32_t n) {
        const Node& node = nodes_[n];
        if (!node.compact_key.empty()) {
            out += node.compact_key;
        } else {
            write_compact_string(out, node.key);
            out.push_back(':');
        }
    }

    void compact_member(std::string& out, std::uint32_t n) {
        const Slot& sl = slot(n);
        if (sl.state == State::value) {
            write_compact_json(out, *sl.value);
            return;
        }
        out.push_back('{');
        bool first = true;
        for (std::uint32_t c = sl.first; c != kNone; c = slot(c).next) {
            if (!first) out.push_back(',');
            first = false;
            compact_key(out, c);
            compact_member(out, c);
        }
        out.push_back('}');
    }

    const Plan& plan_;
    Scratch& s_;
    const json::value& request_value_;
    const json::object& request_;
    // The slots and nodes, read through these (the vectors do not change during a run).
    Slot* slots_ = nullptr;
    const Node* nodes_ = nullptr;
};

// Runs `body` on a fresh Run; any failure is logged and gives false.
template <class Body>
bool guarded(const Plan& plan, const json::value& request, Body&& body) {
    const json::object& req = request_object(request);
    ScratchLease lease;
    try {
        Run run(plan, *lease, request, req);
        run.apply();
        body(run);
        return true;
    } catch (const std::exception& e) {
        log_failure(failure_message(e));
    } catch (...) {
        log_failure("unknown error");
    }
    return false;
}

std::optional<json::object> record_of(const Plan& plan, const json::value& request, const json::storage_ptr& sp) {
    std::optional<json::object> record;
    if (!guarded(plan, request, [&](Run& run) { record.emplace(run.record(sp)); })) record.reset();
    return record;
}

// --- plans of the tables the caller keeps ------------------------------------------------

// The plans of the typed tables last applied on this thread, each kept while its table is
// unchanged.
std::shared_ptr<const Plan> plan_for(const RuleTable& table) {
    struct Entry {
        const RuleTable* table = nullptr;
        std::shared_ptr<Plan> plan;
    };
    thread_local std::array<Entry, 4> cache;
    thread_local std::size_t next = 0;
    for (Entry& e : cache)
        if (e.table == &table && still_matches(*e.plan, table)) return e.plan;
    auto plan = std::make_shared<Plan>();
    compile_table(*plan, table);
    Entry* slot = nullptr;
    for (Entry& e : cache)
        if (e.table == &table) slot = &e;
    if (!slot) {
        slot = &cache[next];
        next = (next + 1) % cache.size();
    }
    *slot = Entry{&table, plan};
    return plan;
}

}  // namespace

// --- public ---------------------------------------------------------------------------

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

CompiledRules::CompiledRules(const RuleTable& rules) {
    auto plan = std::make_shared<Plan>();
    plan->table = rules;
    compile_table(*plan, plan->table);
    plan_ = std::move(plan);
}

CompiledRules::CompiledRules(const json::value& rules, const HandlerMap& handlers) {
    if (!rules.is_object()) throw TypeError("apply_rules: rules must be an object, not " + str(kind_name(rules)));
    auto plan = std::make_shared<Plan>();
    plan->json_table = rules;
    plan->handlers = handlers;
    compile_json(*plan, plan->json_table.get_object(), plan->handlers, true);
    plan_ = std::move(plan);
}

std::size_t CompiledRules::size() const noexcept { return plan_->rule_count; }

std::optional<json::object> apply_rules(const CompiledRules& rules, const json::value& request,
                                        json::storage_ptr storage) {
    return record_of(*rules.plan_, request, storage);
}

bool append_record_json(const CompiledRules& rules, const json::value& request, std::string& out) {
    const std::size_t mark = out.size();
    bool ok = guarded(*rules.plan_, request, [&](Run& run) { run.append_compact(out); });
    if (!ok) out.resize(mark);
    return ok;
}

std::optional<json::object> apply_rules(const RuleTable& rules, const json::value& request) {
    request_object(request);
    std::shared_ptr<const Plan> plan = plan_for(rules);
    return record_of(*plan, request, {});
}

std::optional<json::object> apply_rules(const json::value& rules, const json::value& request,
                                        const HandlerMap& handlers) {
    const json::object* table = rules.if_object();
    if (!table) throw TypeError("apply_rules: rules must be an object, not " + str(kind_name(rules)));
    request_object(request);
    // Compiled for this call, in place over the caller's table and handlers, into a plan
    // kept per thread (one per call in progress: a handler may apply a table itself).
    thread_local std::vector<std::unique_ptr<Plan>> free_plans;
    std::unique_ptr<Plan> plan;
    if (free_plans.empty()) {
        plan = std::make_unique<Plan>();
    } else {
        plan = std::move(free_plans.back());
        free_plans.pop_back();
    }
    plan->clear_compiled();
    compile_json(*plan, *table, handlers, false);
    std::optional<json::object> record = record_of(*plan, request, {});
    free_plans.push_back(std::move(plan));
    return record;
}

}  // namespace quillmere::tindral
