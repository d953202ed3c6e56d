#pragma once

#include <QString>

#include <memory>

/**
 * Starting the program when the user logs in. Both operations throw Failure with a message for the user when the
 * platform refuses; the windows show it in a message box.
 */
class StartupRegistration
{
public:
    virtual ~StartupRegistration() = default;

    /** Makes the running program start at login; registering twice leaves one registration. */
    virtual void RegisterStartup() = 0;
    /** Stops the program starting at login; nothing to remove is not an error. */
    virtual void UnregisterStartup() = 0;
    /** True when the program is registered to start at login. */
    virtual bool IsRegistered() const = 0;
};

/** The registration of the platform the program was built for, for the running program. */
std::unique_ptr<StartupRegistration> createStartupRegistration();
