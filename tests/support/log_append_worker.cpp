// Appends "<tag> <n>" for n = 1..count through the real run log; used by tests
// that have several processes write at once.
#include "runlog/run_log.h"

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    const std::string tag = argv[1];
    const long count = std::strtol(argv[2], nullptr, 10);
    for (long n = 1; n <= count; ++n) {
        const std::string message = tag + " " + std::to_string(n);
        WriteLogLine(std::wstring(message.begin(), message.end()));
    }
    return 0;
}
