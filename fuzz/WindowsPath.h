#pragma once

// How Windows would read a path that we build or write, told lexically so a
// POSIX host can check it: "\" separates as "/" does, a step "X:" starts a
// path of its own, and a name loses its trailing dots and spaces. Stricter
// than Windows where in doubt: every step may lose them, and ".. " counts as
// "..".

#include <QString>
#include <QStringList>

namespace WindowsPath {

inline bool IsDriveStep(const QString& step)
{
    if (step.size() < 2 || step[1] != QLatin1Char(':'))
        return false;
    const char16_t c = step[0].unicode();
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

inline QString ChopTrailing(QString step, const QString& chars)
{
    while (!step.isEmpty() && chars.contains(step.back()))
        step.chop(1);
    return step;
}

// Steps below the folder that `relative` ends in, or -1 when on the way it
// leaves that folder or jumps to a drive.
inline int Depth(QString relative)
{
    relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
    int depth = 0;
    for (const QString& step : relative.split(QLatin1Char('/'))) {
        if (IsDriveStep(step))
            return -1;
        if (ChopTrailing(step, QStringLiteral(" ")) == QLatin1String("..")) {
            if (--depth < 0)
                return -1;
            continue;
        }
        if (!ChopTrailing(step, QStringLiteral(". ")).isEmpty())
            ++depth;
    }
    return depth;
}

} // namespace WindowsPath
