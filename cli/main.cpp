#include <cstdio>

int main() {
    std::fputs("Tarnwick\r\n", stdout);
    return 0;
}
