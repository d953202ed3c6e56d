#include "TerminationSignals.h"

namespace {

/** A platform without these signals: the work runs until it ends by itself. */
class NoTerminationSignals : public TerminationSignals
{ };

} // namespace

std::unique_ptr<TerminationSignals> TerminationSignals::install(StopRequest&, std::function<void(int)>, int)
{
    return std::make_unique<NoTerminationSignals>();
}
