#include "StopRequest.h"

Interrupted::Interrupted()
    : Failure(InterruptedText)
{ }

StopRequest::Hook::Hook(Hook&& other) noexcept
    : m_request(std::exchange(other.m_request, nullptr))
    , m_at(other.m_at)
    , m_finish(other.m_finish)
{ }

StopRequest::Hook& StopRequest::Hook::operator=(Hook&& other) noexcept
{
    if (this != &other) {
        reset();
        m_request = std::exchange(other.m_request, nullptr);
        m_at = other.m_at;
        m_finish = other.m_finish;
    }
    return *this;
}

void StopRequest::Hook::reset()
{
    if (!m_request)
        return;
    const std::lock_guard lock(m_request->m_mutex);
    (m_finish ? m_request->m_finishes : m_request->m_cancels).erase(m_at);
    m_request = nullptr;
}

StopRequest::Hook StopRequest::add(std::list<Action>& list, Action action, bool finish)
{
    const std::lock_guard lock(m_mutex);
    Hook hook;
    hook.m_request = this;
    hook.m_at = list.insert(list.end(), std::move(action));
    hook.m_finish = finish;
    return hook;
}

StopRequest::Hook StopRequest::onStop(Action cancel)
{
    Hook hook = add(m_cancels, cancel, false);
    if (requested())
        cancel();
    return hook;
}

StopRequest::Hook StopRequest::onForcedEnd(Action finish)
{
    return add(m_finishes, std::move(finish), true);
}

void StopRequest::request(int signalNumber)
{
    int none = 0;
    if (!m_signal.compare_exchange_strong(none, signalNumber))
        return;
    const std::lock_guard lock(m_mutex);
    for (const Action& cancel : m_cancels)
        cancel();
}

void StopRequest::forceEnd()
{
    const std::lock_guard lock(m_mutex);
    for (const Action& finish : m_finishes)
        finish();
}
