// remux_main VIDEO_INIT VIDEO_LIST AUDIO_INIT AUDIO_LIST OUT: remux_tracks on the part files named
// one per line in the two list files, for bench/remux.sh. An init path of "-" means none.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "media/mp4_remux.h"

namespace {

std::vector<std::string> read_list(const std::string& path) {
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) out.push_back(line);
    }
    return out;
}

std::string init_path(const std::string& arg) { return arg == "-" ? std::string() : arg; }

} // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::cerr << "usage: remux_main VIDEO_INIT VIDEO_LIST AUDIO_INIT AUDIO_LIST OUT\n";
        return 2;
    }
    std::string error;
    if (!twk::remux_tracks(argv[5], init_path(argv[1]), read_list(argv[2]), init_path(argv[3]),
                           read_list(argv[4]), error)) {
        std::cerr << "remux failed: " << error << "\n";
        return 1;
    }
    return 0;
}
