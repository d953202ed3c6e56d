#include "Failure.h"

Failure::Failure(QString description, int number)
    : m_description(std::move(description))
    , m_number(number == 0 ? 1 : number)
    , m_what(m_description.toUtf8())
{ }
