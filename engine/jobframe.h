// The worker's whole job: one request object in, one result object out.
#pragma once

#include "app/protocol.h"

#include <QJsonObject>

namespace batch {

// Validates the request, admits the sources, runs the operation and publishes
// the result. Never throws: every failure becomes {"ok":false,"error":…}, and
// the job's staging folder is gone when this returns.
QJsonObject processRequest(const QJsonObject& request, const ProgressCallback& progress);

} // namespace batch
