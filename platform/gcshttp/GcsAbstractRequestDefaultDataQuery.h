#pragma once
// What every cloud request carries besides its own data. The application implements it on top
// of its login and settings; GcsHttp asks it once per request, on the client's thread.

#include <QString>

class GcsAbstractRequestDefaultDataQuery {
public:
    virtual ~GcsAbstractRequestDefaultDataQuery() = default;

    virtual QString userId() const = 0;
    virtual QString token() const = 0;
    virtual QString deviceUniqueId() const = 0;
    virtual int systemType() const = 0;
    virtual QString teamCode() const = 0;
};
