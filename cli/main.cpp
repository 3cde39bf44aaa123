// twk: the terminal front end.
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kUsage = "usage: twk get [options] URL...\n"
                               "       twk version\n";

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "version") == 0) {
        std::printf("twk %s\n", TWK_VERSION);
        return 0;
    }
    std::fputs(kUsage, argc >= 2 ? stderr : stdout);
    return argc >= 2 ? 2 : 0;
}
