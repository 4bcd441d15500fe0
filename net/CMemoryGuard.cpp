#include "CMemoryGuard.h"
#include "PlatformMemory.h"

namespace Update {

CMemoryGuard::CMemoryGuard(QObject* parent) : QObject(parent)
{
    m_timer.setInterval(kPollMs);
    connect(&m_timer, SIGNAL(timeout()), this, SLOT(OnPoll()));
}

void CMemoryGuard::Start()
{
    m_nBaseline = Platform::ResidentBytes();
    if (m_nBaseline < 0) {
        m_timer.stop();
        return;
    }
    m_timer.start();
}

void CMemoryGuard::Stop()
{
    m_timer.stop();
}

void CMemoryGuard::OnPoll()
{
    const qint64 now = Platform::ResidentBytes();
    if (now < 0 || now - m_nBaseline <= kGrowthBound)
        return;
    m_timer.stop();
    // The last step: the receiver may end the request and delete us.
    emit SignalExceeded();
}

} // namespace Update
