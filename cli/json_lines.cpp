#include "json_lines.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parser.hpp>

#include <cerrno>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>

#include <unistd.h>

namespace quillmere::cli {

namespace {
thread_local std::size_t handled_line = 0;
}  // namespace

std::size_t current_line_number() noexcept { return handled_line; }

// --- output ---------------------------------------------------------------------------

BlockOutput::BlockOutput(int fd) : std::ostream(nullptr), fd_(fd) {
    buffer_.owner = this;
    buffer_.text.reserve(2 * kBlock);
    rdbuf(&buffer_);
}

BlockOutput::~BlockOutput() { drain(); }

void BlockOutput::drain() {
    const char* p = buffer_.text.data();
    std::size_t left = buffer_.text.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the reader is gone: nothing more can be written
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    buffer_.text.clear();
}

BlockOutput::Buffer::int_type BlockOutput::Buffer::overflow(int_type c) {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        text.push_back(traits_type::to_char_type(c));
        owner->write_block();
    }
    return traits_type::not_eof(c);
}

std::streamsize BlockOutput::Buffer::xsputn(const char* s, std::streamsize n) {
    text.append(s, static_cast<std::size_t>(n));
    owner->write_block();
    return n;
}

BlockOutput& standard_output() {
    static BlockOutput out(STDOUT_FILENO);
    return out;
}

BlockOutput& standard_error() {
    static BlockOutput err(STDERR_FILENO);
    return err;
}

// --- lines ----------------------------------------------------------------------------

int process_json_lines(std::istream& in, BlockOutput& out, std::ostream& err, LineHandler handler, void* context) {
    // Each line is parsed into an arena that starts in one block kept from line to line: no
    // allocation per member, no destruction walk. The arena is made anew for each line
    // (Boost's monotonic_resource, emptied with release() and used again, keeps doubling
    // the blocks it asks for, so that a run of long lines would end in a failed allocation).
    constexpr std::size_t kFirstBlock = 64 * 1024;
    std::unique_ptr<unsigned char[]> first_block(new unsigned char[kFirstBlock]);
    std::optional<json::monotonic_resource> resource;
    boost::json::parse_options opt;
    opt.max_depth = kMaxJsonDepth;
    boost::json::parser parser(boost::json::storage_ptr(), opt);
    std::string line;
    std::string& buffer = out.text();
    std::size_t line_no = 0;
    int status = 0;
    while (std::getline(in, line)) {
        ++line_no;
        std::size_t mark = buffer.size();
        try {
            resource.reset();
            resource.emplace(first_block.get(), kFirstBlock);
            parser.reset(&*resource);
            boost::system::error_code ec;
            std::size_t used = parser.write(line, ec);
            if (ec) throw ValueError("invalid JSON text: " + ec.message() + " at offset " + std::to_string(used));
            const boost::json::value v = parser.release();
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
        out.write_block();
    }
    return status;
}

int with_input(const std::string& path, const std::function<int(std::istream&)>& body) {
    if (path.empty() || path == "-") return body(std::cin);
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        standard_error() << "quillmere: cannot open " << path << '\n';
        return 2;
    }
    return body(file);
}

}  // namespace quillmere::cli
