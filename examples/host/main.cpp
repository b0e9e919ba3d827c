// A host of the library in a few lines: reads webhook bodies, one JSON text per line, from
// FILE (or standard input) and prints each body's event kind with its channel and topic.
// The classifier's own lines for bodies of an unexpected shape go to standard error.

#include <quillmere/ostrel/classifier.hpp>

#include <boost/system/system_error.hpp>

#include <fstream>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    using namespace quillmere::ostrel;
    std::ifstream file;
    if (argc > 1) {
        file.open(argv[1]);
        if (!file) {
            std::cerr << "cannot open " << argv[1] << '\n';
            return 2;
        }
    }
    std::istream& in = argc > 1 ? file : std::cin;

    std::size_t n = 0, classified = 0;
    for (std::string line; std::getline(in, line);) {
        ++n;
        try {
            auto kind = classify_instagram_event(line, std::cerr, std::cerr);
            if (kind) {
                ++classified;
                std::cout << n << ": " << name(*kind) << " (" << *kind << ")\n";
            } else {
                std::cout << n << ": no kind\n";
            }
        } catch (const boost::system::system_error& e) {
            std::cout << n << ": not JSON (" << e.what() << ")\n";
        }
    }
    std::cout << classified << " of " << n << " deliveries classified; "
              << get_events_by_channel(ChannelEnum::DM).size() << " kinds are filed under "
              << to_string(ChannelProperty(ChannelEnum::DM)) << '\n';
    return 0;
}
