// A program of the sanitized build with a fault on request, for
// sanitizer_reports_test.py: started with an empty environment, it must
// still report, into the build's report folder.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: sanitizer_probe address|undefined|leak\n");
        return 2;
    }
    volatile int count = argc + 2;   // 4, out of the compiler's sight
    if (std::strcmp(argv[1], "address") == 0) {
        std::unique_ptr<int[]> values(new int[count]);
        values[count] = 1;   // one past the end
        return values[0];
    }
    if (std::strcmp(argv[1], "undefined") == 0) {
        int big = 0x7ffffffe;
        big += count;   // signed overflow
        return big == 0;
    }
    if (std::strcmp(argv[1], "leak") == 0) {
        char* lost = static_cast<char*>(std::malloc(64 * count));
        std::memset(lost, 1, 64 * count);
        lost = nullptr;
        return 0;
    }
    return 2;
}
