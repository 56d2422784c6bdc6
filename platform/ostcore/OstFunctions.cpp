#include "OstFunctions.h"

#include <QUuid>

namespace OstFunctions {

QString createUuid(bool withoutBraces)
{
    return QUuid::createUuid().toString(withoutBraces ? QUuid::WithoutBraces : QUuid::WithBraces);
}

}  // namespace OstFunctions
