// A long-running stand-in for the client or the notifier: it records that it
// started, then waits to be killed, but never outlives STANDIN_SECONDS.

#include "StandinCommon.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

long SecondsToLive()
{
    const long kDefault = 60;
    const long kMost = 600;
    const char* text = getenv("STANDIN_SECONDS");
    if (!text || !*text)
        return kDefault;
    char* end = nullptr;
    const long seconds = strtol(text, &end, 10);
    if (*end != '\0' || seconds <= 0)
        return kDefault;
    return seconds < kMost ? seconds : kMost;
}

} // namespace

int main(int argc, char** argv)
{
    Standin::AppendToLog(argc, argv);
    // sleep_until resumes after signals that do not end the process.
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::seconds(SecondsToLive()));
    return 0;
}
