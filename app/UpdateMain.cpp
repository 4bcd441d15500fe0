#include "UpdateMain.h"

#include <QApplication>

namespace Update {

int UpdateMain(int argc, char** argv)
{
    QApplication app(argc, argv);
    return 0;
}

} // namespace Update
