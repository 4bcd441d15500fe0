#pragma once

#include "UpdateFailure.h"

#include <atomic>
#include <mutex>

namespace Update {

// The one way a piece of work ends. A run begins, and ends once through
// Finish with its outcome: Settle tears down what the run holds (and may
// turn a success into the failure that teardown met), then Report tells
// the owner, unless the run was stopped. Whatever arrives after the end
// finds the run over and does nothing. The stage is atomic, so a worker's
// thread may finish while its owner stops it: one of the two wins.
class CWorkEnding
{
public:
    // Never: the work runs once. AfterSuccess: a finished run may be
    // followed by another, a failed or stopped one leaves the work spent.
    // Always: every ended run may be followed by another.
    enum class EReuse { Never, AfterSuccess, Always };

    explicit CWorkEnding(EReuse reuse);
    virtual ~CWorkEnding() = default;

    // Ends a running run without a word to the owner; nothing otherwise.
    void Stop() { Finish(CFailure(EFailure::Stopped)); }

    bool IsRunning() const { return m_eStage.load() == EStage::Running; }
    // How the last run ended: None while one runs and after a success,
    // Stopped after a stop, else the failure reported.
    CFailure Outcome() const;

protected:
    // A new run: false while one runs, or once the work is spent.
    bool Begin();
    // Ends the run once; false when it had ended already.
    bool Finish(const CFailure& outcome);

    virtual CFailure Settle(const CFailure& outcome) { return outcome; }
    virtual void Report(const CFailure& outcome) = 0;

private:
    enum class EStage { Idle, Running, Ending, Ended };

    const EReuse m_eReuse;
    std::atomic<EStage> m_eStage {EStage::Idle};
    mutable std::mutex m_outcomeLock;
    CFailure m_outcome;
};

} // namespace Update
