// Stands in for the notifier: idles until it is terminated, and ends by
// itself after the given number of seconds (default 60) so nothing outlives a test.

#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    if (seconds <= 0 || seconds > 600)
        seconds = 60;
    Sleep(static_cast<DWORD>(seconds) * 1000);
    return 0;
}
