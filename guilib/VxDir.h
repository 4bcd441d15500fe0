#pragma once

#include <QString>

namespace DAROZ {

class VxDir
{
public:
    // The installation folder, without a trailing separator. Safe from any thread.
    static QString GetCurrentPath();
};

} // namespace DAROZ
