#include "HealthCheckResult.h"

HealthCheckResult HealthCheckResult::make(QString title, Status status, QString command, QString output)
{
    return HealthCheckResult {QUuid::createUuid(), std::move(title), status, std::move(command), std::move(output)};
}
