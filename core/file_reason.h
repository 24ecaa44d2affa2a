// Why a file operation failed, in the operator's language.
#pragma once

#include <QString>

QT_BEGIN_NAMESPACE
class QFileDevice;
QT_END_NAMESPACE

// The reason `file` last failed: in Russian for the common cases (missing, no permission, read-only
// file system, disk full, a folder given as a file, a file standing in the path), otherwise the
// system's own text.
QString file_reason(const QFileDevice& file);

// The same for an errno value, where the code calls the system itself.
QString errno_reason(int code);
