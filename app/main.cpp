#include <cstdio>

int main()
{
    std::printf("Yuvo %s: the main window is not built yet; nothing to run.\n", YUVO_PRODUCT_VERSION);
    return 0;
}
