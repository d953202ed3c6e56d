// Serves a small sample database until killed; prints "port=<n>". For trying clients (tsql, isql) by hand.
#include "TdsServer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    tds::TdsServer server;
    tds::TableSpec people;
    people.name = u"People"_s;
    people.columns = {{u"Id"_s, tds::SqlType::Int},
                      {u"Name"_s, tds::SqlType::NVarChar, 20},
                      {u"Born"_s, tds::SqlType::DateTime},
                      {u"Price"_s, tds::SqlType::Decimal, 0, 10, 2}};
    people.rows = {{1, u"Baker's"_s, u"1970-05-01"_s, u"12.50"_s}, {2, QVariant(), QVariant(), QVariant()}};
    server.addTable(people);
    tds::TableSpec view;
    view.name = u"PeopleView"_s;
    view.type = u"VIEW"_s;
    view.columns = people.columns;
    server.addTable(view);
    if (!server.start())
        return 1;
    std::printf("port=%u\n", unsigned(server.port()));
    std::fflush(stdout);
    for (;;)
        QThread::sleep(1);
}
