// Unpacks ZIP into TARGETDIR the way the updater does, so whole-process time
// and peak memory can be set against other unzip tools.
#include "CCompressClient.h"

#include <QString>

#include <cstdio>

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_extract ZIP TARGETDIR\n");
        return 2;
    }
    const bool ok = Update::CCompressClient::UnCompress(QString::fromLocal8Bit(argv[1]),
                                                       QString::fromLocal8Bit(argv[2]));
    return ok ? 0 : 1;
}
