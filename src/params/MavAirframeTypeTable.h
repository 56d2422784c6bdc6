#pragma once
// Display names of the airframe type codes carried in the basic parameters' mavType. The texts
// are translated in the context "MavParamsController" (whose getMavTypeMap() hands this table
// out), once, on first use.

#include <QMap>
#include <QString>

class MavAirframeTypeTable {
public:
    static const QMap<int, QString>& typeMap();
    // Empty for a code the table does not know.
    static QString typeName(int code) { return typeMap().value(code); }
};
