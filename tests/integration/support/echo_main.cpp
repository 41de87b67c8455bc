// A child for the launcher's own tests: prints one environment variable and its arguments, one a
// line, and exits with the status it is given.
//
//   integration_echo <status> <variable> [argument]...
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const char* value = std::getenv(argv[2]);
    std::printf("env:%s\n", value ? value : "(unset)");
    for (int i = 3; i < argc; ++i) std::printf("arg:[%s]\n", argv[i]);
    return std::atoi(argv[1]);
}
