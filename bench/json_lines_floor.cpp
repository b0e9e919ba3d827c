// The floor of the command's line processing: read JSON lines with std::getline and parse
// each with one reused boost::json::parser (the library's nesting limit), nothing else.
// bench/cli_compare.sh runs it beside `quillmere classify` and `quillmere map` on the same
// input. It prints one line, the number of lines read and how many parsed, so that the
// work cannot be left out.
//
//     json_lines_floor [FILE]      (standard input when FILE is absent or "-")

#include "quillmere/common/value.hpp"

#include <boost/json/parser.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::ifstream file;
    std::istream* in = &std::cin;
    if (argc > 1 && std::string(argv[1]) != "-") {
        file.open(argv[1], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "json_lines_floor: cannot open %s\n", argv[1]);
            return 2;
        }
        in = &file;
    }
    boost::json::parse_options options;
    options.max_depth = quillmere::kMaxJsonDepth;
    boost::json::parser parser(boost::json::storage_ptr(), options);
    std::string line;
    std::size_t lines = 0, parsed = 0, members = 0;
    while (std::getline(*in, line)) {
        ++lines;
        parser.reset();
        boost::system::error_code ec;
        parser.write(line, ec);
        if (ec) continue;
        boost::json::value v = parser.release();
        ++parsed;
        if (const auto* o = v.if_object()) members += o->size();
    }
    std::printf("%zu lines, %zu parsed, %zu members\n", lines, parsed, members);
    return 0;
}
