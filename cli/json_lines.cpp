#include "json_lines.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"

#include <boost/json/parser.hpp>

#include <fstream>
#include <iostream>

namespace quillmere::cli {

namespace {
thread_local std::size_t handled_line = 0;
}  // namespace

std::size_t current_line_number() noexcept { return handled_line; }

int process_json_lines(std::istream& in, std::ostream& out, std::ostream& err, LineHandler handler, void* context) {
    boost::json::parse_options opt;
    opt.max_depth = kMaxJsonDepth;
    boost::json::parser parser(boost::json::storage_ptr(), opt);
    std::string line;
    std::string buffer;
    buffer.reserve(1 << 16);
    std::size_t line_no = 0;
    int status = 0;
    while (std::getline(in, line)) {
        ++line_no;
        std::size_t mark = buffer.size();
        try {
            parser.reset();
            boost::system::error_code ec;
            std::size_t used = parser.write(line, ec);
            if (ec) throw ValueError("invalid JSON text: " + ec.message() + " at offset " + std::to_string(used));
            boost::json::value v = parser.release();
            handled_line = line_no;
            handler(context, v, buffer);
            handled_line = 0;
        } catch (const std::exception& e) {
            handled_line = 0;
            buffer.resize(mark);
            buffer += "{\"error\": ";
            write_string_text(buffer, e.what());
            buffer += '}';
            err << "line " << line_no << ": " << e.what() << '\n';
            status = 1;
        }
        buffer += '\n';
        if (buffer.size() >= (1 << 16)) {
            out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            buffer.clear();
        }
    }
    out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    out.flush();
    return status;
}

int with_input(const std::string& path, const std::function<int(std::istream&)>& body) {
    if (path.empty() || path == "-") return body(std::cin);
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::cerr << "quillmere: cannot open " << path << '\n';
        return 2;
    }
    return body(file);
}

}  // namespace quillmere::cli
