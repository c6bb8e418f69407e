#include <cstdio>

int main() {
    std::puts("Trevasco: the converter window is being built.");
    return 0;
}
