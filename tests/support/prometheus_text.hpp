#pragma once
// Test support: a strict reader of the Prometheus text exposition format (version 0.0.4),
// so that tests check what a scraper would read rather than searching the text.
//
//   auto scrape = quillmere::testing::parse_prometheus_text(text);   // throws on a bad line
//   double n = scrape.value("quillmere_deliveries_rejected_total{reason=\"too_large\"}");

#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::testing {

struct PrometheusScrape {
    // "name{label=\"value\",...}" (labels sorted by name, no spaces) -> value.
    std::map<std::string, double> samples;
    std::map<std::string, std::string> types;  // family name -> counter, gauge, histogram...

    bool has(const std::string& series) const { return samples.count(series) != 0; }
    double value(const std::string& series) const {
        auto it = samples.find(series);
        if (it == samples.end()) throw std::out_of_range("no sample " + series);
        return it->second;
    }
};

inline PrometheusScrape parse_prometheus_text(std::string_view text) {
    PrometheusScrape scrape;
    auto fail = [](std::string_view line, const char* why) {
        return std::runtime_error(std::string("bad metrics line (") + why + "): " + std::string(line));
    };
    auto is_name_char = [](char c, bool first) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
               (!first && c >= '0' && c <= '9');
    };
    auto family_of = [&](const std::string& name) -> std::string {
        if (scrape.types.count(name)) return name;
        for (std::string_view suffix : {"_bucket", "_sum", "_count"}) {
            if (name.size() > suffix.size() && name.ends_with(suffix)) {
                std::string base = name.substr(0, name.size() - suffix.size());
                auto it = scrape.types.find(base);
                if (it != scrape.types.end() && (it->second == "histogram" || it->second == "summary")) return base;
            }
        }
        return {};
    };
    if (!text.empty() && text.back() != '\n') throw std::runtime_error("metrics text does not end with a newline");
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        if (line.starts_with("# TYPE ")) {
            std::string_view rest = line.substr(7);
            auto space = rest.find(' ');
            if (space == std::string_view::npos) throw fail(line, "TYPE without a type");
            std::string type(rest.substr(space + 1));
            static const std::set<std::string> known = {"counter", "gauge", "histogram", "summary", "untyped"};
            if (!known.count(type)) throw fail(line, "unknown type");
            if (!scrape.types.emplace(std::string(rest.substr(0, space)), type).second) throw fail(line, "TYPE twice");
            continue;
        }
        if (line.starts_with("#")) continue;  // HELP and comments
        std::size_t i = 0;
        while (i < line.size() && is_name_char(line[i], i == 0)) ++i;
        if (i == 0) throw fail(line, "no metric name");
        std::string name(line.substr(0, i));
        std::map<std::string, std::string> labels;
        if (i < line.size() && line[i] == '{') {
            ++i;
            while (i < line.size() && line[i] != '}') {
                std::size_t label_start = i;
                while (i < line.size() && is_name_char(line[i], i == label_start)) ++i;
                if (i == label_start || i + 1 >= line.size() || line[i] != '=' || line[i + 1] != '"') {
                    throw fail(line, "bad label");
                }
                std::string label(line.substr(label_start, i - label_start));
                i += 2;
                std::string value;
                for (;;) {
                    if (i >= line.size()) throw fail(line, "unterminated label value");
                    char c = line[i++];
                    if (c == '"') break;
                    if (c == '\\') {
                        if (i >= line.size()) throw fail(line, "bad escape");
                        char e = line[i++];
                        if (e == 'n')
                            value += '\n';
                        else if (e == '\\' || e == '"')
                            value += e;
                        else
                            throw fail(line, "bad escape");
                    } else {
                        value += c;
                    }
                }
                if (!labels.emplace(label, value).second) throw fail(line, "label twice");
                if (i < line.size() && line[i] == ',') ++i;
            }
            if (i >= line.size()) throw fail(line, "unterminated labels");
            ++i;
        }
        if (i >= line.size() || line[i] != ' ') throw fail(line, "no value");
        std::string_view rest = line.substr(i + 1);
        std::string_view value_text = rest.substr(0, rest.find(' '));
        double value = 0;
        if (value_text == "+Inf") {
            value = std::numeric_limits<double>::infinity();
        } else if (value_text == "-Inf") {
            value = -std::numeric_limits<double>::infinity();
        } else if (value_text == "NaN") {
            value = std::numeric_limits<double>::quiet_NaN();
        } else {
            std::string copy(value_text);
            char* parsed_end = nullptr;
            value = std::strtod(copy.c_str(), &parsed_end);
            if (copy.empty() || parsed_end != copy.c_str() + copy.size()) throw fail(line, "bad value");
        }
        if (family_of(name).empty()) throw fail(line, "sample before its TYPE");
        std::string series = name;
        if (!labels.empty()) {
            series += '{';
            bool first = true;
            for (const auto& [label, label_value] : labels) {
                if (!first) series += ',';
                first = false;
                series += label + "=\"" + label_value + "\"";
            }
            series += '}';
        }
        if (!scrape.samples.emplace(series, value).second) throw fail(line, "series twice");
    }
    return scrape;
}

}  // namespace quillmere::testing
