#include "Mssql.h"

#include "DataAccess.h"
#include "Dialogs.h"
#include "ErrorReport.h"
#include "Views.h"

using namespace Qt::Literals::StringLiterals;

bool CanConnect(ConnectionFactory& factory, const ConnectionSettings& settings)
{
    try {
        auto connection = factory.createConnection();
        connection->Open(BuildConnectionString(settings));
        return true; // released without Close: the destructor closes it
    } catch (const std::exception&) {
        return false;
    }
}

void TestConnection(ConnectionFactory& factory,
                    const ConnectionSettings& settings,
                    Dialogs& dialogs,
                    PointerControl& window)
{
    ReportingProcedure proc(dialogs, u"Form1"_s, u"PushButton5_Click"_s);
    std::unique_ptr<Connection> connection;
    proc.run(100, [&] { connection = factory.createConnection(); });

    window.setPointer(MousePointer::Hourglass);
    bool opened = false;
    try {
        if (!connection)
            throw Failure(u"The database connection could not be created."_s);
        connection->Open(BuildConnectionString(settings));
        opened = true;
    } catch (const ConnectionStringError& error) {
        // A value the driver cannot take: say which, rather than leave the user guessing.
        dialogs.message(error.description());
    } catch (const std::exception&) { }
    if (opened) {
        dialogs.message(u"Connection successful."_s);
        window.setPointer(MousePointer::Default);
    } else {
        dialogs.message(QString::fromLatin1(CouldNotConnectMessage));
        window.setPointer(MousePointer::Default);
    }
}
