#include "WorkEnding.h"

#include <QMetaType>

namespace Update {

CWorkEnding::CWorkEnding(EReuse reuse) : m_eReuse(reuse)
{
    // The ending signals carry it, queued across threads too.
    qRegisterMetaType<CFailure>("Update::CFailure");
}

CFailure CWorkEnding::Outcome() const
{
    const std::lock_guard<std::mutex> lock(m_outcomeLock);
    return m_outcome;
}

bool CWorkEnding::Begin()
{
    EStage stage = m_eStage.load();
    const bool again = stage == EStage::Idle || (stage == EStage::Ended && m_eReuse == EReuse::Always);
    if (!again || !m_eStage.compare_exchange_strong(stage, EStage::Running))
        return false;
    const std::lock_guard<std::mutex> lock(m_outcomeLock);
    m_outcome = CFailure();
    return true;
}

bool CWorkEnding::Finish(const CFailure& outcome)
{
    EStage running = EStage::Running;
    if (!m_eStage.compare_exchange_strong(running, EStage::Ending))
        return false;
    const CFailure settled = Settle(outcome);
    {
        const std::lock_guard<std::mutex> lock(m_outcomeLock);
        m_outcome = settled;
    }
    const bool again = m_eReuse == EReuse::Always || (m_eReuse == EReuse::AfterSuccess && !settled.IsFailure());
    m_eStage.store(again ? EStage::Idle : EStage::Ended);
    // The last step: the receiver may stop us or schedule our deletion.
    if (settled.kind != EFailure::Stopped)
        Report(settled);
    return true;
}

} // namespace Update
