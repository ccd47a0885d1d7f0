// The demo inner launcher: what the bootstrap starts from its session once the demo package has
// been checked and unsealed. "--verify-only" (the bootstrap's first start of it) succeeds
// silently; any other start greets and succeeds.

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--verify-only") == 0) return 0;
    std::fputs("VELTO MARN demo launcher: hello from the sealed session\n", stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
