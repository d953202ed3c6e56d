#include "Failure.h"
#include "Startup.h"

using namespace Qt::Literals::StringLiterals;

namespace {

// Platforms without an implementation yet: the check box reports that instead of pretending.
class UnsupportedStartup : public StartupRegistration
{
public:
    void RegisterStartup() override { throw Failure(u"Starting at login is not supported on this system."_s); }
    void UnregisterStartup() override { }
    bool IsRegistered() const override { return false; }
};

} // namespace

std::unique_ptr<StartupRegistration> createStartupRegistration()
{
    return std::make_unique<UnsupportedStartup>();
}
