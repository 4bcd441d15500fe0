// Bytes -> up to ten process arguments (NUL-separated; the first byte is the
// user's answer to the notice). What start-up decides must match the launch
// contract, computed here on its own: at least eight entries; a non-empty
// notice asked first and a refusal ending everything; then a non-empty URL and
// a non-zero base-10 size; everything but an update exits with 0.

#include "LaunchArgs.h"

#include <QByteArrayList>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

using Update::CLaunchArgs;
using Update::LaunchDecision;

namespace {

const int kMaxEntries = 10;

[[noreturn]] void Fail(const char* what, const QByteArrayList& entries)
{
    std::fprintf(stderr, "contract broken: %s\n", what);
    for (int i = 0; i < entries.size(); ++i)
        std::fprintf(stderr, "  [%d] %s\n", i, entries.at(i).toHex().constData());
    std::abort();
}

// A base-10 integer between optional white space: an optional sign and at
// least one ASCII digit, within [min, max]; anything else is 0.
qint64 ParseInteger(const QString& text, qint64 min, qint64 max)
{
    int begin = 0;
    int end = text.size();
    while (begin < end && text[begin].isSpace())
        ++begin;
    while (end > begin && text[end - 1].isSpace())
        --end;
    bool negative = false;
    if (begin < end && (text[begin] == QLatin1Char('+') || text[begin] == QLatin1Char('-'))) {
        negative = text[begin] == QLatin1Char('-');
        ++begin;
    }
    if (begin == end)
        return 0;
    // Accumulated as a negative number, which reaches one further than a positive one.
    qint64 value = 0;
    for (int i = begin; i < end; ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return 0;
        const int digit = c - u'0';
        if (value < (std::numeric_limits<qint64>::min() + digit) / 10)
            return 0;
        value = value * 10 - digit;
    }
    if (!negative && value == std::numeric_limits<qint64>::min())
        return 0;
    const qint64 result = negative ? value : -value;
    return result < min || result > max ? 0 : result;
}

struct Expected
{
    LaunchDecision decision = LaunchDecision::TooFewArguments;
    bool asked = false;
};

Expected Contract(const QByteArrayList& entries, bool confirm)
{
    Expected expected;
    if (entries.size() < 8)
        return expected;
    const auto text = [&entries](int i) { return QString::fromLocal8Bit(entries.at(i)); };
    expected.asked = !text(7).isEmpty();
    if (expected.asked && !confirm) {
        expected.decision = LaunchDecision::NoticeRefused;
        return expected;
    }
    const qint64 size = ParseInteger(text(2), std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max());
    expected.decision = text(1).isEmpty() || size == 0 ? LaunchDecision::NotUpdatable : LaunchDecision::Update;
    return expected;
}

void CheckFields(const QByteArrayList& entries, const CLaunchArgs& args)
{
    const auto text = [&entries](int i) { return QString::fromLocal8Bit(entries.at(i)); };
    if (args.strUrl != text(1) || args.strVersionText != text(2) || args.strReservedArg != text(4)
        || args.strUpdateContent != text(5) || args.strNotice != text(7))
        Fail("a text argument was not taken as given", entries);
    if (args.nPackageSize != ParseInteger(text(2), std::numeric_limits<qint64>::min(),
                                          std::numeric_limits<qint64>::max()))
        Fail("package size is not the base-10 number of argument 2", entries);
    if (args.bMajorUpdate != (text(3) == QLatin1String("true")))
        Fail("major flag is not exactly \"true\"", entries);
    if (args.nClientPid != ParseInteger(text(6), std::numeric_limits<int>::min(), std::numeric_limits<int>::max()))
        Fail("process id is not the base-10 int of argument 6", entries);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 8192)
        return 0;
    const bool confirm = data[0] & 1;
    QByteArrayList entries =
        QByteArray(reinterpret_cast<const char*>(data + 1), int(size - 1)).split('\0').mid(0, kMaxEntries);

    CLaunchArgs args;
    int asks = 0;
    int reads = 0;
    const LaunchDecision decision = Update::DecideLaunch(
        entries, args,
        [&](const QString&) {
            ++asks;
            if (reads != 1)
                Fail("notice asked before the arguments were read", entries);
            return confirm;
        },
        [&](const CLaunchArgs&) { ++reads; });

    const Expected expected = Contract(entries, confirm);
    if (decision != expected.decision)
        Fail("decision differs from the contract", entries);
    if (asks != (expected.asked ? 1 : 0))
        Fail("notice asked when it should not be, or not asked", entries);
    if (reads != (entries.size() < 8 ? 0 : 1))
        Fail("arguments read a wrong number of times", entries);
    if (entries.size() >= 8)
        CheckFields(entries, args);
    return 0;
}
