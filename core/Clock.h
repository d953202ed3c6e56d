#pragma once

#include <QDateTime>

/** The clock, injected so that file names, time stamps, pauses and the schedule can be tested. */
class Clock
{
public:
    virtual ~Clock() = default;

    /** The local date and time. */
    virtual QDateTime now() const = 0;
    /** Milliseconds on a monotonic clock (never jumps at midnight or with clock changes). */
    virtual qint64 monotonicMs() const = 0;
};

/** The system's clock. */
class SystemClock : public Clock
{
public:
    QDateTime now() const override;
    qint64 monotonicMs() const override;
};
