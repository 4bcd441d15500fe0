// The installer stand-in: leaves "installer-ran.txt" beside itself with its
// working directory and arguments, and exits 0 at once.

#include "StandinCommon.h"

#include <cstdio>
#include <string>

#include <limits.h>

int main(int argc, char** argv)
{
    Standin::AppendToLog(argc, argv);

    char cwd[PATH_MAX];
    std::string text = std::string("cwd=") + (getcwd(cwd, sizeof(cwd)) ? cwd : "") + "\n";
    for (int i = 1; i < argc; ++i)
        text += std::string("arg=") + argv[i] + "\n";

    // Written aside and renamed, so a reader polling for the file never sees
    // half of it.
    const std::string dir = Standin::DirName(Standin::SelfPath());
    const std::string finalPath = dir + "/installer-ran.txt";
    const std::string partPath = finalPath + ".part";
    FILE* file = fopen(partPath.c_str(), "w");
    if (!file)
        return 1;
    const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    if (fclose(file) != 0 || !written || rename(partPath.c_str(), finalPath.c_str()) != 0)
        return 1;
    return 0;
}
