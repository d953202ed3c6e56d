#pragma once

#include "Clock.h"

/** A clock that moves only when told to. */
class FakeClock : public Clock
{
public:
    explicit FakeClock(QDateTime start = QDateTime(QDate(2021, 8, 31), QTime(9, 30, 12)))
        : m_now(std::move(start))
    { }

    QDateTime now() const override { return m_now; }
    qint64 monotonicMs() const override { return m_monotonic; }

    void setNow(const QDateTime& now) { m_now = now; }
    /** Moves both the wall clock and the monotonic clock forward. */
    void advanceMs(qint64 ms)
    {
        m_now = m_now.addMSecs(ms);
        m_monotonic += ms;
    }

private:
    QDateTime m_now;
    qint64 m_monotonic = 1'000'000;
};
