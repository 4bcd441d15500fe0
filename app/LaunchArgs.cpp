#include "LaunchArgs.h"

namespace Update {

QByteArrayList CopyArguments(int argc, char** argv)
{
    QByteArrayList entries;
    for (int i = 0; i < argc && argv[i]; ++i)
        entries.append(QByteArray(argv[i]));
    return entries;
}

bool ReadLaunchArgs(const QByteArrayList& entries, CLaunchArgs& args)
{
    if (entries.size() < 8)
        return false;
    auto text = [&entries](int i) { return QString::fromLocal8Bit(entries.at(i)); };
    args.strUrl = text(1);
    args.strVersionText = text(2);
    args.nPackageSize = args.strVersionText.toLongLong(nullptr, 10);
    args.bMajorUpdate = text(3) == QLatin1String("true");
    args.strReservedArg = text(4);
    args.strUpdateContent = text(5);
    args.nClientPid = text(6).toInt(nullptr, 10);
    args.strNotice = text(7);
    return true;
}

LaunchDecision DecideLaunch(const QByteArrayList& entries, CLaunchArgs& args,
                            const std::function<bool(const QString& notice)>& confirmNotice,
                            const std::function<void(const CLaunchArgs& args)>& afterRead)
{
    if (!ReadLaunchArgs(entries, args))
        return LaunchDecision::TooFewArguments;
    if (afterRead)
        afterRead(args);
    if (!args.strNotice.isEmpty() && !confirmNotice(args.strNotice))
        return LaunchDecision::NoticeRefused;
    if (!args.IsUpdatable())
        return LaunchDecision::NotUpdatable;
    return LaunchDecision::Update;
}

} // namespace Update
