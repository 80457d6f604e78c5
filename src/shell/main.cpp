#include <cstdio>

// The main window is not built yet. Rather than show an empty stand-in, say so and stop.
int main()
{
    std::fputs("Quorvale: the main window is not built yet; only the engine libraries and "
               "their tests exist so far.\n",
               stderr);
    return 1;
}
