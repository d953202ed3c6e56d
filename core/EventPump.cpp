#include "EventPump.h"

#include <QCoreApplication>

void processApplicationEvents()
{
    QCoreApplication::processEvents();
}
