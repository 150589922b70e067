#include "BuildData.h"

namespace corvane {

QString buildDataPath(const QString& upperName) {
    return QLatin1String(kBuildDataPrefix) + upperName;
}

} // namespace corvane
