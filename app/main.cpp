#include <cstdio>

int main() {
    std::puts("Updater");
    return 0;
}
